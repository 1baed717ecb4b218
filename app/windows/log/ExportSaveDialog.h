#pragma once

#include <QString>

#include <optional>

class QWidget;

namespace kw::app {

// The export's save dialog: a file name and a choice of the three formats (tags 0
// tab-delimited, 1 system log, 2 DoorStop). A test sets the next answer; the next dialog is
// then not shown but answered at once.
class ExportSaveDialog {
public:
    struct Answer {
        QString path;
        int formatTag = 0;
    };

    // None when the user cancelled.
    static std::optional<Answer> run(QWidget* parent, const QString& folder, const QString& fileName);

    // The next answer (none: the next dialog is cancelled).
    static void setNextAnswer(std::optional<Answer> answer);
    static bool hasNextAnswer();
    static void clearNextAnswer();
};

} // namespace kw::app
