#include "render/vterm.hpp"

#include <algorithm>

namespace test {

VTerm::VTerm(int rows, int cols)
    : m_rows(rows), m_cols(cols), m_cells(static_cast<std::size_t>(rows * cols))
{
}

VTerm::Cell* VTerm::cell(int row, int col)
{
    if (row < 1 || row > m_rows || col < 1 || col > m_cols)
        return nullptr;
    return &m_cells[static_cast<std::size_t>((row - 1) * m_cols + (col - 1))];
}

const VTerm::Cell* VTerm::cell(int row, int col) const
{
    return const_cast<VTerm*>(this)->cell(row, col);
}

char VTerm::at(int row, int col) const
{
    const Cell* c = cell(row, col);
    return c ? c->ch : ' ';
}

int VTerm::color(int row, int col) const
{
    const Cell* c = cell(row, col);
    return c ? c->color : 0;
}

std::string VTerm::text(int row, int col, int len) const
{
    std::string s;
    for (int i = 0; i < len; ++i)
        s.push_back(at(row, col + i));
    return s;
}

std::string VTerm::span(int row, int col, int len) const
{
    std::string s = text(row, col, len);
    s.erase(s.find_last_not_of(' ') + 1);
    return s;
}

std::string VTerm::row(int r) const { return span(r, 1, m_cols); }

bool VTerm::contains(std::string_view needle) const
{
    for (int r = 1; r <= m_rows; ++r) {
        if (row(r).find(needle) != std::string::npos)
            return true;
    }
    return false;
}

void VTerm::put(char c)
{
    if (Cell* target = cell(m_row, m_col))
        *target = Cell{c, m_color};
    ++m_col;
}

// Parses "ESC [ params final" starting at bytes[i] (the ESC); returns the index after it.
std::size_t VTerm::escape(std::string_view bytes, std::size_t i)
{
    std::size_t j = i + 1;
    if (j >= bytes.size() || bytes[j] != '[') {
        ++m_unknown;
        return j;
    }
    std::vector<int> params{0};
    bool any = false;
    for (++j; j < bytes.size(); ++j) {
        char c = bytes[j];
        if (c >= '0' && c <= '9') {
            params.back() = params.back() * 10 + (c - '0');
            any = true;
        } else if (c == ';') {
            params.push_back(0);
        } else {
            break;
        }
    }
    if (j >= bytes.size()) {
        ++m_unknown;
        return j;
    }
    const int first = params[0];
    switch (bytes[j]) {
    case 'H':
        m_row = any ? std::max(first, 1) : 1;
        m_col = params.size() > 1 ? std::max(params[1], 1) : 1;
        break;
    case 'J':
        for (int r = m_row; r <= m_rows; ++r) {
            for (int c = (r == m_row ? m_col : 1); c <= m_cols; ++c)
                *cell(r, c) = Cell{};
        }
        break;
    case 'm':
        m_color = params.back();
        break;
    case 'C':
        m_col += any ? first : 1;
        break;
    case 'D':
        m_col = std::max(1, m_col - (any ? first : 1));
        break;
    default:
        ++m_unknown;
    }
    return j + 1;
}

void VTerm::feed(std::string_view bytes)
{
    std::size_t i = 0;
    while (i < bytes.size()) {
        char c = bytes[i];
        if (c == '\x1b') {
            i = escape(bytes, i);
            continue;
        }
        if (c == '\n') {
            ++m_row;
            m_col = 1;
        } else if (c == '\t') {
            m_col = (m_col - 1) / 8 * 8 + 9;
        } else {
            put(c);
        }
        ++i;
    }
}

}  // namespace test
