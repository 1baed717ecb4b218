#include "ExportSaveDialog.h"

#include <QDir>
#include <QFileDialog>
#include <QStringList>

#include <utility>

namespace kw::app {

namespace {

struct Seam {
    bool set = false;
    std::optional<ExportSaveDialog::Answer> answer;
};

Seam& seam()
{
    static Seam instance;
    return instance;
}

} // namespace

std::optional<ExportSaveDialog::Answer> ExportSaveDialog::run(QWidget* parent, const QString& folder,
                                                              const QString& fileName)
{
    if (seam().set) {
        seam().set = false;
        return std::exchange(seam().answer, std::nullopt);
    }
    const QStringList formats = {
        QFileDialog::tr("Tab-delimited text (*.txt *.tsv)"),
        QFileDialog::tr("System log style (*.log *.txt)"),
        QFileDialog::tr("DoorStop log (*.log *.txt)"),
    };
    QFileDialog dialog(parent, QFileDialog::tr("Export Log"), folder);
    dialog.setObjectName(QStringLiteral("exportFormatView"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(formats);
    dialog.selectNameFilter(formats.first());
    dialog.selectFile(QDir(folder).filePath(fileName));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return Answer { dialog.selectedFiles().first(), static_cast<int>(formats.indexOf(dialog.selectedNameFilter())) };
}

void ExportSaveDialog::setNextAnswer(std::optional<Answer> answer)
{
    seam().set = true;
    seam().answer = std::move(answer);
}

bool ExportSaveDialog::hasNextAnswer()
{
    return seam().set;
}

void ExportSaveDialog::clearNextAnswer()
{
    seam() = Seam();
}

} // namespace kw::app
