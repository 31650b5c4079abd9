// Anchored placement of child controls.
#include "platform/Anchors.h"

#include <QEvent>
#include <QWidget>

AnchorLayout::AnchorLayout(QWidget* parent, QSize designSize)
    : QObject(parent), Parent(parent), DesignSize(designSize) {
    parent->installEventFilter(this);
}

void AnchorLayout::Add(QWidget* child, QRect designBounds, unsigned anchors) {
    Entries.push_back({child, designBounds, anchors});
    Place(Entries.back(), Parent->size());
}

void AnchorLayout::SetBounds(QWidget* child, QRect designBounds) {
    for (Entry& e : Entries) {
        if (e.Child == child) {
            e.Design = designBounds;
            Place(e, Parent->size());
        }
    }
}

void AnchorLayout::Place(const Entry& e, QSize size) const {
    const int dw = size.width() - DesignSize.width();
    const int dh = size.height() - DesignSize.height();
    int left = e.Design.left();
    int width = e.Design.width();
    if (e.Anchors & akRight) {
        if (e.Anchors & akLeft)
            width += dw;
        else
            left += dw;
    }
    int top = e.Design.top();
    int height = e.Design.height();
    if (e.Anchors & akBottom) {
        if (e.Anchors & akTop)
            height += dh;
        else
            top += dh;
    }
    e.Child->setGeometry(left, top, std::max(width, 0), std::max(height, 0));
}

bool AnchorLayout::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Parent && event->type() == QEvent::Resize) {
        for (const Entry& e : Entries)
            Place(e, Parent->size());
    }
    return QObject::eventFilter(watched, event);
}
