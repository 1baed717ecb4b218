#pragma once

#include <QColor>
#include <QHash>
#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <string>
#include <vector>

class QPlainTextEdit;
class QTextDocument;

namespace kw::app {

class KeywordHighlighter;

// Colours ipfw rule text as it is typed: comment lines red, keywords blue, the rest black.
// Keywords come from the "IPFWKeywords" resource and are found literally and case-sensitively,
// also inside longer words. Each registered view's document gets one highlighter, which
// recolours only the lines that changed.
class SyntaxColorizer {
public:
    // The parts of a line to colour, in characters from the line's start.
    struct Span {
        int start = 0;
        int length = 0;
        bool operator==(const Span&) const = default;
    };
    enum class LineKind { Plain, Comment };

    static SyntaxColorizer& sharedInstance();

    SyntaxColorizer(const SyntaxColorizer&) = delete;
    SyntaxColorizer& operator=(const SyntaxColorizer&) = delete;

    // Starts and stops recolouring the view's text on every change. Views that share one
    // document share its highlighter.
    void registerTextView(QPlainTextEdit* view);
    void unregisterTextView(QPlainTextEdit* view);
    bool isRegistered(const QPlainTextEdit* view) const;
    // Colours the whole text of a registered view (registers it first when it is not).
    void colorizeTextView(QPlainTextEdit* view);

    // Appends the array of keyword strings held in a property-list resource.
    void addKeywordsFromPropertyListNamed(const QString& name);
    const QStringList& keywords() const { return m_keywords; }

    // How one line is coloured: a line whose first character is "#" is a comment throughout;
    // any other line gets the keyword spans (merged where occurrences touch or overlap).
    LineKind lineKind(QStringView line) const;
    QList<Span> keywordSpans(QStringView line) const;

    QColor keywordColour() const { return m_keywordColour; }
    QColor commentColour() const { return m_commentColour; }
    QColor plainColour() const { return m_plainColour; }

private:
    SyntaxColorizer();
    void setupAttributes();

    QColor m_keywordColour;
    QColor m_commentColour;
    QColor m_plainColour;
    QStringList m_keywords;
    // The keywords as plain text, and their indexes by first character, for the line scan.
    std::vector<std::u16string> m_keywordText;
    std::vector<std::vector<std::size_t>> m_keywordsByFirst;
    struct Registration {
        QPointer<KeywordHighlighter> highlighter;
        QList<QPointer<QPlainTextEdit>> views;
    };
    QHash<QTextDocument*, Registration> m_documents;
};

} // namespace kw::app
