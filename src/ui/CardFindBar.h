#pragma once

#include "model/SearchText.h"

#include <QWidget>

#include <optional>

class CardButton;
class FocusableTextView;
class PinlarkStore;
class QLabel;
class QLineEdit;

// The find band, in the place of the tag chips while finding: a field whose words narrow
// the stack through the store's findQuery, a "No match" line when nothing holds them, and
// Done. It also marks where the words occur in the shown card's editor, and puts the caret
// at the first of them whenever the query or the shown card changes.
//
// Return and Shift+Return step to the next and the previous card found; Escape is the
// popup's and reaches close() through the card view.
class CardFindBar final : public QWidget
{
    Q_OBJECT

public:
    CardFindBar(PinlarkStore &store, FocusableTextView *editor, QWidget *parent = nullptr);
    Q_DISABLE_COPY_MOVE(CardFindBar)

    // Starts finding, or goes back to the field when finding already; the field's text is
    // selected, so typing replaces it.
    void open();
    // Ends finding; the card found stays the current one, and the editor gets the keyboard
    // with the caret where the find left it.
    void close();

    [[nodiscard]] QLineEdit *field() const { return m_field; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void refresh();
    void markOccurrences();

    PinlarkStore &m_store;
    FocusableTextView *m_editor;
    QLineEdit *m_field = nullptr;
    QLabel *m_noMatch = nullptr;
    CardButton *m_doneButton = nullptr;
    // What the caret was last placed for: the query and the card. The caret moves only when
    // either changes, so typing into the card while finding keeps it where the user puts it.
    std::optional<std::pair<QString, QString>> m_placedFor;
    QString m_markedText; // the shown text the marks were made for
    QStringList m_markedWords;
    QList<SearchText::Range> m_found; // in the marked text
};
