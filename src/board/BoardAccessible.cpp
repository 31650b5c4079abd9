// The board's accessible table: its squares and numbers as cells and headers,
// built only when a screen reader asks, and the events that keep it current.
#include "board/BoardAccessible.h"

#include "platform/ImageControl.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QHash>
#include <QTimer>
#include <QWindow>

#include <vector>

namespace boardaccess {

QString CellName(const TGRID& grid, std::int32_t c, std::int32_t r) {
    const TGRIDCELL& cell = grid.Cells[c][r];
    QString name = QStringLiteral("%1列%2行 ").arg(c).arg(r);
    if (cell.State == +1)
        return name + QStringLiteral("先攻");
    if (cell.State == -1)
        return name + QStringLiteral("後攻");
    name += QStringLiteral("空き");
    if (cell.PutSide != 0) {
        name += QStringLiteral(" おけます");
        if (grid.PutCountF)
            name += QStringLiteral(" %1個とれます").arg(cell.TurnCount);
    }
    return name;
}

int CellIndex(std::int32_t c, std::int32_t r) {
    return GRIDSIZE + (r - 1) * (GRIDSIZE + 1) + c;
}

namespace {

// Height of the strip above the board and width of the one left of it where
// the numbers are drawn.
constexpr int kNumberStrip = 14;

struct Source {
    std::function<const TGRID*()> Board;
    std::function<TCellPos()> Cursor;
};

QHash<const QObject*, Source>& Sources() {
    static QHash<const QObject*, Source> sources;
    return sources;
}

class BoardItem;

class BoardTable : public QAccessibleWidget, public QAccessibleTableInterface {
public:
    BoardTable(TImage* image, Source source)
        : QAccessibleWidget(image, QAccessible::Table), Src(std::move(source)), Size(GRIDSIZE),
          Ids(static_cast<std::size_t>(Size + Size * (Size + 1)), 0),
          Known(static_cast<std::size_t>(Size + Size * (Size + 1))) {
        // What a reader may read from now on is what later changes are told against.
        if (const TGRID* grid = Board())
            for (std::int32_t r = 1; r <= Size; ++r)
                for (std::int32_t c = 1; c <= Size; ++c)
                    Known[CellIndex(c, r)] = CellName(*grid, c, r);
    }
    ~BoardTable() override {
        for (QAccessible::Id id : Ids)
            if (id != 0)
                QAccessible::deleteAccessibleInterface(id);
    }

    TImage* Image() const { return static_cast<TImage*>(widget()); }
    const TGRID* Board() const { return Src.Board ? Src.Board() : nullptr; }
    TCellPos Cursor() const { return Src.Cursor ? Src.Cursor() : TCellPos{}; }
    int Squares() const { return Size; }
    bool IsFocusedCell(std::int32_t c, std::int32_t r) const {
        return Image()->hasFocus() && Cursor() == TCellPos{c, r};
    }

    void Tell(bool focusEntered) {
        const TGRID* grid = Board();
        if (grid == nullptr)
            return;
        for (std::int32_t r = 1; r <= Size; ++r) {
            for (std::int32_t c = 1; c <= Size; ++c) {
                const int index = CellIndex(c, r);
                QString name = CellName(*grid, c, r);
                if (name == Known[index])
                    continue;
                Known[index] = std::move(name);
                QAccessibleEvent event(Image(), QAccessible::NameChanged);
                event.setChild(index);
                QAccessible::updateAccessibility(&event);
            }
        }
        const TCellPos cursor = Cursor();
        if (!grid->IsSquare(cursor.Col, cursor.Row) || !Image()->hasFocus())
            return;
        if (cursor == Focused && !focusEntered)
            return;
        Focused = cursor;
        QAccessibleEvent event(Image(), QAccessible::Focus);
        event.setChild(CellIndex(cursor.Col, cursor.Row));
        QAccessible::updateAccessibility(&event);
    }

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::TableInterface)
            return static_cast<QAccessibleTableInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QString text(QAccessible::Text type) const override {
        if (type == QAccessible::Name && widget()->accessibleName().isEmpty())
            return QStringLiteral("盤");
        return QAccessibleWidget::text(type);
    }

    int childCount() const override { return static_cast<int>(Ids.size()); }
    QAccessibleInterface* child(int index) const override;
    int indexOfChild(const QAccessibleInterface* child) const override;

    QAccessibleInterface* childAt(int x, int y) const override {
        const TGRID* grid = Board();
        if (grid == nullptr)
            return nullptr;
        const QPoint p = Image()->mapFromGlobal(QPoint(x, y));
        const TRect32& b = grid->BoardRect;
        if (p.x() < b.Left || p.y() < b.Top || p.x() >= b.Right || p.y() >= b.Bottom)
            return nullptr;
        const std::int32_t c = grid->XTOCOL(p.x());
        const std::int32_t r = grid->YTOROW(p.y());
        return grid->IsSquare(c, r) ? child(CellIndex(c, r)) : nullptr;
    }

    QAccessibleInterface* focusChild() const override {
        const TCellPos cursor = Cursor();
        const TGRID* grid = Board();
        if (grid == nullptr || !grid->IsSquare(cursor.Col, cursor.Row) || !Image()->hasFocus())
            return nullptr;
        return child(CellIndex(cursor.Col, cursor.Row));
    }

    // The table: rows and columns count from 0 here, from 1 on the board.
    QAccessibleInterface* caption() const override { return nullptr; }
    QAccessibleInterface* summary() const override { return nullptr; }
    QAccessibleInterface* cellAt(int row, int column) const override {
        if (row < 0 || row >= Size || column < 0 || column >= Size)
            return nullptr;
        return child(CellIndex(column + 1, row + 1));
    }
    int selectedCellCount() const override { return 0; }
    QList<QAccessibleInterface*> selectedCells() const override { return {}; }
    QString columnDescription(int column) const override { return QString::number(column + 1); }
    QString rowDescription(int row) const override { return QString::number(row + 1); }
    int selectedColumnCount() const override { return 0; }
    int selectedRowCount() const override { return 0; }
    int columnCount() const override { return Size; }
    int rowCount() const override { return Size; }
    QList<int> selectedColumns() const override { return {}; }
    QList<int> selectedRows() const override { return {}; }
    bool isColumnSelected(int) const override { return false; }
    bool isRowSelected(int) const override { return false; }
    bool selectRow(int) override { return false; }
    bool selectColumn(int) override { return false; }
    bool unselectRow(int) override { return false; }
    bool unselectColumn(int) override { return false; }
    void modelChange(QAccessibleTableModelChangeEvent*) override {}

private:
    Source Src;
    // The squares per side when the table was built; the children follow it.
    std::int32_t Size;
    // Children are built on first request and live as long as the table.
    mutable std::vector<QAccessible::Id> Ids;
    // Each square's name as last told, by child index.
    std::vector<QString> Known;
    TCellPos Focused;
};

// A square, or a number of the board as a column or row header.
class BoardItem : public QAccessibleInterface, public QAccessibleTableCellInterface {
public:
    BoardItem(BoardTable* table, int index) : Table(table), Index(index) {
        const int n = table->Squares();
        if (index < n) {
            Role = QAccessible::ColumnHeader;
            Col = index + 1;
            return;
        }
        Row = (index - n) / (n + 1) + 1;
        Col = (index - n) % (n + 1);
        Role = Col == 0 ? QAccessible::RowHeader : QAccessible::Cell;
    }

    BoardTable* const Table;
    const int Index;

    bool isValid() const override { return Table->isValid(); }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return Table->window(); }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QAccessibleInterface* parent() const override { return Table; }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    void setText(QAccessible::Text, const QString&) override {}
    QAccessible::Role role() const override { return Role; }

    QString text(QAccessible::Text type) const override {
        if (type != QAccessible::Name)
            return {};
        if (Role == QAccessible::ColumnHeader)
            return QString::number(Col);
        if (Role == QAccessible::RowHeader)
            return QString::number(Row);
        const TGRID* grid = Table->Board();
        return grid ? CellName(*grid, Col, Row) : QString();
    }

    QRect rect() const override {
        const TGRID* grid = Table->Board();
        if (grid == nullptr)
            return {};
        const int size = grid->CellSize;
        const TRect32& square = grid->Cells[Col == 0 ? 1 : Col][Row == 0 ? 1 : Row].Rect;
        QRect local(square.Left, square.Top, size, size);
        if (Role == QAccessible::ColumnHeader)
            local = QRect(square.Left, grid->BoardRect.Top - kNumberStrip, size, kNumberStrip);
        else if (Role == QAccessible::RowHeader)
            local = QRect(grid->BoardRect.Left - kNumberStrip, square.Top, kNumberStrip, size);
        return QRect(Table->Image()->mapToGlobal(local.topLeft()), local.size());
    }

    QAccessible::State state() const override {
        QAccessible::State state;
        state.invisible = !Table->Image()->isVisible();
        if (Role == QAccessible::Cell) {
            state.focusable = true;
            state.focused = Table->IsFocusedCell(Col, Row);
        }
        return state;
    }

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::TableCellInterface && Role == QAccessible::Cell)
            return static_cast<QAccessibleTableCellInterface*>(this);
        return nullptr;
    }

    // The cell's place in the table.
    bool isSelected() const override { return false; }
    QList<QAccessibleInterface*> columnHeaderCells() const override {
        return {Table->child(Col - 1)};
    }
    QList<QAccessibleInterface*> rowHeaderCells() const override {
        return {Table->child(CellIndex(1, Row) - 1)};
    }
    int columnIndex() const override { return Col - 1; }
    int rowIndex() const override { return Row - 1; }
    int columnExtent() const override { return 1; }
    int rowExtent() const override { return 1; }
    QAccessibleInterface* table() const override { return Table; }

private:
    QAccessible::Role Role = QAccessible::Cell;
    std::int32_t Col = 0; // 0 for a row header
    std::int32_t Row = 0; // 0 for a column header
};

QAccessibleInterface* BoardTable::child(int index) const {
    if (index < 0 || index >= childCount())
        return nullptr;
    QAccessible::Id& id = Ids[static_cast<std::size_t>(index)];
    if (id != 0)
        return QAccessible::accessibleInterface(id);
    auto* item = new BoardItem(const_cast<BoardTable*>(this), index);
    id = QAccessible::registerAccessibleInterface(item);
    return item;
}

int BoardTable::indexOfChild(const QAccessibleInterface* child) const {
    const auto* item = dynamic_cast<const BoardItem*>(child);
    return item != nullptr && item->Table == this ? item->Index : -1;
}

QHash<const QObject*, QString>& PictureNames() {
    static QHash<const QObject*, QString> names;
    return names;
}

// A named picture. Its name is not the widget's accessible name, whose setting
// would build an interface at once.
class NamedPicture : public QAccessibleWidget {
public:
    NamedPicture(TImage* image, QString name)
        : QAccessibleWidget(image, QAccessible::Graphic), Name(std::move(name)) {}
    QString text(QAccessible::Text type) const override {
        return type == QAccessible::Name ? Name : QAccessibleWidget::text(type);
    }

private:
    QString Name;
};

QAccessibleInterface* Factory(const QString& key, QObject* object) {
    if (key != QLatin1String("TImage"))
        return nullptr;
    const auto found = Sources().constFind(object);
    if (found != Sources().constEnd())
        return new BoardTable(static_cast<TImage*>(object), *found);
    const auto named = PictureNames().constFind(object);
    if (named != PictureNames().constEnd())
        return new NamedPicture(static_cast<TImage*>(object), *named);
    return nullptr;
}

void InstallFactory() {
    static const bool installed = [] {
        QAccessible::installFactory(Factory);
        return true;
    }();
    (void)installed;
}

BoardTable* TableOf(TImage* image) {
    if (!QAccessible::isActive() || !Sources().contains(image))
        return nullptr;
    return dynamic_cast<BoardTable*>(QAccessible::queryAccessibleInterface(image));
}

} // namespace

void Attach(TImage* image, std::function<const TGRID*()> board, std::function<TCellPos()> cursor) {
    InstallFactory();
    Sources().insert(image, Source{std::move(board), std::move(cursor)});
    QObject::connect(image, &QObject::destroyed, [image] { Sources().remove(image); });
}

void NamePicture(TImage* image, const QString& name) {
    InstallFactory();
    PictureNames().insert(image, name);
    QObject::connect(image, &QObject::destroyed, [image] { PictureNames().remove(image); });
}

void Update(PaintTarget& image) {
    if (!QAccessible::isActive())
        return;
    if (BoardTable* table = TableOf(dynamic_cast<TImage*>(&image)))
        table->Tell(false);
}

void FocusEntered(TImage* image) {
    if (!QAccessible::isActive())
        return;
    // The toolkit announces the board itself right after its focus-in event.
    QTimer::singleShot(0, image, [image] {
        if (BoardTable* table = TableOf(image))
            table->Tell(true);
    });
}

} // namespace boardaccess
