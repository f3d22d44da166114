// A small virtual terminal for the frame tests: applies cursor moves, erase
// and colour escapes to a character grid, so tests read rows and columns back
// the way a player would see them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace test {

class VTerm {
public:
    VTerm(int rows = 100, int cols = 120);

    void feed(std::string_view bytes);

    // 1-based like the escapes; positions off the grid read as blank.
    char at(int row, int col) const;
    // The SGR code in force when the cell was written (0 after a reset).
    int color(int row, int col) const;
    std::string text(int row, int col, int len) const;
    // text() with trailing blanks removed.
    std::string span(int row, int col, int len) const;
    // The whole row with trailing blanks removed.
    std::string row(int row) const;
    // True when some row holds the text.
    bool contains(std::string_view needle) const;

    int cursor_row() const { return m_row; }
    int cursor_col() const { return m_col; }
    // Escape sequences the terminal did not understand (a test expects 0).
    int unknown_sequences() const { return m_unknown; }

private:
    struct Cell {
        char ch = ' ';
        int color = 0;
    };
    Cell* cell(int row, int col);
    const Cell* cell(int row, int col) const;
    void put(char c);
    std::size_t escape(std::string_view bytes, std::size_t i);

    int m_rows;
    int m_cols;
    std::vector<Cell> m_cells;
    int m_row = 1;
    int m_col = 1;
    int m_color = 0;
    int m_unknown = 0;
};

}  // namespace test
