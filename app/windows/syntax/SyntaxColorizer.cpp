#include "windows/syntax/SyntaxColorizer.h"

#include "adapters/Resources.h"

#include <QPlainTextEdit>
#include <QSyntaxHighlighter>
#include <QTextCharFormat>
#include <QTextDocument>

#include <algorithm>
#include <vector>

namespace kw::app {

// The per-document highlighter: Qt hands it each changed line (without its terminator).
class KeywordHighlighter : public QSyntaxHighlighter {
public:
    KeywordHighlighter(SyntaxColorizer& colorizer, QTextDocument* document)
        : QSyntaxHighlighter(document)
        , m_colorizer(colorizer)
    {
        m_plain.setForeground(colorizer.plainColour());
        m_keyword.setForeground(colorizer.keywordColour());
        m_comment.setForeground(colorizer.commentColour());
    }

protected:
    void highlightBlock(const QString& text) override
    {
        if (text.isEmpty()) {
            return;
        }
        if (m_colorizer.lineKind(text) == SyntaxColorizer::LineKind::Comment) {
            setFormat(0, static_cast<int>(text.size()), m_comment);
            return;
        }
        setFormat(0, static_cast<int>(text.size()), m_plain);
        for (const SyntaxColorizer::Span& span : m_colorizer.keywordSpans(text)) {
            setFormat(span.start, span.length, m_keyword);
        }
    }

private:
    SyntaxColorizer& m_colorizer;
    QTextCharFormat m_plain;
    QTextCharFormat m_keyword;
    QTextCharFormat m_comment;
};

SyntaxColorizer& SyntaxColorizer::sharedInstance()
{
    static SyntaxColorizer* instance = new SyntaxColorizer;
    return *instance;
}

SyntaxColorizer::SyntaxColorizer()
{
    setupAttributes();
    addKeywordsFromPropertyListNamed(QStringLiteral("IPFWKeywords"));
}

void SyntaxColorizer::setupAttributes()
{
    m_keywordColour = QColor(Qt::blue);
    m_commentColour = QColor(Qt::red);
    m_plainColour = QColor(Qt::black);
}

void SyntaxColorizer::addKeywordsFromPropertyListNamed(const QString& name)
{
    const Value::Array* list = Resources::propertyList(name).array();
    if (list == nullptr) {
        return;
    }
    for (const Value& item : *list) {
        if (const std::string* keyword = item.string(); keyword != nullptr && !keyword->empty()) {
            const QString text = QString::fromStdString(*keyword);
            const char16_t first = text.front().unicode();
            if (first >= m_keywordsByFirst.size()) {
                m_keywordsByFirst.resize(first + 1u);
            }
            m_keywordsByFirst[first].push_back(m_keywordText.size());
            m_keywordText.push_back(text.toStdU16String());
            m_keywords << text;
        }
    }
}

SyntaxColorizer::LineKind SyntaxColorizer::lineKind(QStringView line) const
{
    return !line.isEmpty() && line.front() == u'#' ? LineKind::Comment : LineKind::Plain;
}

QList<SyntaxColorizer::Span> SyntaxColorizer::keywordSpans(QStringView line) const
{
    QList<Span> spans;
    if (line.isEmpty() || lineKind(line) == LineKind::Comment) {
        return spans;
    }
    // Every occurrence of every keyword, each keyword searched on after the end of its last
    // occurrence. One pass over the line tries only the keywords that start with its character.
    std::vector<std::pair<int, int>> found;
    std::vector<std::size_t> nextStart(m_keywordText.size(), 0);
    const char16_t* text = line.utf16();
    const std::size_t size = static_cast<std::size_t>(line.size());
    for (std::size_t at = 0; at < size; ++at) {
        const char16_t c = text[at];
        if (c >= m_keywordsByFirst.size()) {
            continue;
        }
        for (const std::size_t index : m_keywordsByFirst[c]) {
            const std::u16string& keyword = m_keywordText[index];
            if (at >= nextStart[index] && size - at >= keyword.size() &&
                std::char_traits<char16_t>::compare(text + at, keyword.data(), keyword.size()) == 0) {
                found.emplace_back(static_cast<int>(at), static_cast<int>(at + keyword.size()));
                nextStart[index] = at + keyword.size();
            }
        }
    }
    std::sort(found.begin(), found.end());
    for (const auto& [start, end] : found) {
        if (!spans.isEmpty() && start <= spans.back().start + spans.back().length) {
            Span& last = spans.back();
            last.length = std::max(last.length, end - last.start);
        } else {
            spans.append(Span { start, end - start });
        }
    }
    return spans;
}

void SyntaxColorizer::registerTextView(QPlainTextEdit* view)
{
    if (view == nullptr || isRegistered(view)) {
        return;
    }
    QTextDocument* document = view->document();
    Registration& registration = m_documents[document];
    if (registration.highlighter.isNull()) {
        registration.highlighter = new KeywordHighlighter(*this, document);
        QObject::connect(document, &QObject::destroyed, [this, document] { m_documents.remove(document); });
    }
    registration.views.append(view);
}

void SyntaxColorizer::unregisterTextView(QPlainTextEdit* view)
{
    if (view == nullptr) {
        return;
    }
    for (auto it = m_documents.begin(); it != m_documents.end(); ++it) {
        Registration& registration = it.value();
        registration.views.removeIf(
            [view](const QPointer<QPlainTextEdit>& known) { return known.isNull() || known.data() == view; });
        if (registration.views.isEmpty()) {
            delete registration.highlighter.data();
            m_documents.erase(it);
            return;
        }
    }
}

bool SyntaxColorizer::isRegistered(const QPlainTextEdit* view) const
{
    const auto it = m_documents.constFind(view->document());
    return it != m_documents.cend() && std::any_of(it->views.cbegin(), it->views.cend(),
                                                   [view](const auto& known) { return known.data() == view; });
}

void SyntaxColorizer::colorizeTextView(QPlainTextEdit* view)
{
    if (view == nullptr) {
        return;
    }
    registerTextView(view);
    if (KeywordHighlighter* highlighter = m_documents.value(view->document()).highlighter) {
        highlighter->rehighlight();
    }
}

} // namespace kw::app
