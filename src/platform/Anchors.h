// Anchored placement of child controls: each side keeps its distance to the
// parent's matching edge, as laid out at design size.
#pragma once

#include <QObject>
#include <QRect>
#include <QSize>
#include <vector>

class QWidget;

enum Anchor : unsigned {
    akLeft = 1,
    akTop = 2,
    akRight = 4,
    akBottom = 8,
    akLeftTop = akLeft | akTop,
};

class AnchorLayout : public QObject {
public:
    // parent's design client size; children are then added with their design bounds.
    AnchorLayout(QWidget* parent, QSize designSize);
    // Places child at its design bounds and keeps it anchored from now on.
    void Add(QWidget* child, QRect designBounds, unsigned anchors = akLeftTop);
    // Gives an added child new design bounds and places it at once.
    void SetBounds(QWidget* child, QRect designBounds);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Entry {
        QWidget* Child;
        QRect Design;
        unsigned Anchors;
    };
    void Place(const Entry& entry, QSize size) const;

    QWidget* Parent;
    QSize DesignSize;
    std::vector<Entry> Entries;
};
