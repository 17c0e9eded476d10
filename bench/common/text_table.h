#pragma once
// A plain-text table with aligned columns, also valid Markdown (pipes and a rule line), so a
// run's output can be pasted into the docs as it is.

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

// A time in milliseconds as a table cell: two decimals.
inline std::string msCell(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", ms);
    return text;
}

class TextTable {
  public:
    explicit TextTable(std::vector<std::string> header) { rows.push_back(std::move(header)); }

    void add(std::vector<std::string> row) {
        row.resize(rows.front().size());
        rows.push_back(std::move(row));
    }

    void print(std::FILE* out) const {
        std::vector<size_t> width(rows.front().size(), 3);
        for (const auto& row : rows) {
            for (size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], columns(row[c]));
        }
        for (size_t r = 0; r < rows.size(); ++r) {
            std::string line = "|";
            for (size_t c = 0; c < width.size(); ++c) {
                line += " " + rows[r][c] + std::string(width[c] - columns(rows[r][c]), ' ') + " |";
            }
            std::fprintf(out, "%s\n", line.c_str());
            if (r == 0) {
                std::string rule = "|";
                for (size_t w : width) rule += std::string(w + 2, '-') + "|";
                std::fprintf(out, "%s\n", rule.c_str());
            }
        }
    }

  private:
    // Display columns of UTF-8 text: every byte that does not continue a character.
    static size_t columns(const std::string& s) {
        return static_cast<size_t>(std::count_if(s.begin(), s.end(), [](char ch) {
            return (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
        }));
    }

    std::vector<std::vector<std::string>> rows;
};
