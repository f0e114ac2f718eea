// The orthogonal (Taguchi) tables: L4 and L8 as stored rows, the other two-level tables from
// Hadamard matrices, the three-level ones from linear forms over GF(3), and the mixed L18 and
// L36 from difference schemes. A table is built once per study (at most 128 x 127 cells).
//
// Two-level tables. A Hadamard matrix H of order n (entries +-1, H^T H = n I) is normalised
// so that its first column is all +1; the other n - 1 columns are then orthogonal to it and
// to each other, so each holds n/2 of each sign and any two hold each sign pair n/4 times:
// dropping the first column leaves a strength-2 array of n - 1 columns (+1 -> level 0,
// -1 -> level 1). The matrices:
//   Sylvester      H_2m = [[H_m, H_m], [H_m, -H_m]]                16, 32, 128 (and 2, 4, 8)
//   Paley I        prime q = 3 mod 4: order q + 1                   12 (11), 72 (71), 80 (79),
//                                                                   104 (103), 44 (43), 60 (59)
//   Paley II       prime q = 1 mod 4: order 2(q + 1)                28 (13)
//   Kronecker      H_a (x) H_b has order ab                         88 = 2 x 44, 96 = 8 x 12,
//                                                                   112 = 4 x 28, 120 = 2 x 60
//
// Three-level tables (L9, L27, L81): the runs are all 3^m vectors x over GF(3) (m = 2, 3, 4,
// first coordinate slowest); a column is a linear form a.x mod 3, one form per projective
// point a (its highest nonzero coordinate has coefficient 1): (3^m - 1)/2 columns. Two
// forms that are not multiples of each other map the runs onto every level pair equally
// often.
//
// Mixed tables. A difference scheme D(r, r, 3) is an r x r matrix over Z3 in which the
// difference of any two columns holds each element r/3 times. The 3r runs (i, e),
// i < r, e < 3, with columns D[i][j] + e mod 3 and one r-level column i, form a strength-2
// array; the r-level column is replaced by a strength-2 array of r runs (each of its levels
// occurs 3 times, so its pairs with the other columns stay balanced):
//   L18: r = 6,  i -> (i div 3, i mod 3)                       1 two-level + 7 three-level
//   L36: r = 12, i = (2a + b) 3 + c -> (a, b, a xor b, c)       3 two-level + 13 three-level
// The two schemes below were found by a clique search over the balanced columns (first row
// and column zero) and are checked in the tests.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "doe/orthogonal_array_internal.h"

namespace karvo::doe {

namespace {

constexpr OrthogonalTableInfo kCatalog[] = {
    {"L4", 4, 3, 0, 2, 3},        {"L8", 8, 7, 0, 4, 7},        {"L12", 12, 11, 0, 6, 11},
    {"L16", 16, 15, 0, 8, 15},    {"L32", 32, 31, 0, 16, 31},   {"L72", 72, 71, 0, 7, 36},
    {"L80", 80, 79, 0, 7, 40},    {"L88", 88, 87, 0, 7, 44},    {"L96", 96, 95, 0, 7, 48},
    {"L104", 104, 103, 0, 7, 52}, {"L112", 112, 111, 0, 7, 56}, {"L120", 120, 119, 0, 7, 60},
    {"L128", 128, 127, 0, 8, 64}, {"L9", 9, 0, 4, 2, 4},        {"L18", 18, 1, 7, 3, 8},
    {"L27", 27, 0, 13, 3, 13},    {"L36", 36, 3, 13, 4, 16},    {"L81", 81, 0, 40, 4, 40},
};

// Rows of L4 and L8 as the tables are usually printed: levels 1 and 2, one digit per column.
constexpr const char* kL4Rows[] = {"111", "122", "212", "221"};
constexpr const char* kL8Rows[] = {"1111111", "2121212", "1221122", "2211221",
                                   "1112222", "2122121", "1222211", "2212112"};

// D(6, 6, 3) and D(12, 12, 3) over Z3.
constexpr std::array<std::array<int, 6>, 6> kScheme6 = {{
    {0, 0, 0, 0, 0, 0},
    {0, 0, 1, 1, 2, 2},
    {0, 1, 0, 2, 1, 2},
    {0, 1, 2, 0, 2, 1},
    {0, 2, 1, 2, 0, 1},
    {0, 2, 2, 1, 1, 0},
}};
constexpr std::array<std::array<int, 12>, 12> kScheme12 = {{
    {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
    {0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2},
    {0, 0, 0, 1, 0, 2, 2, 2, 1, 1, 1, 2},
    {0, 0, 1, 2, 2, 0, 1, 2, 0, 1, 2, 1},
    {0, 1, 0, 2, 2, 1, 2, 0, 2, 0, 1, 1},
    {0, 1, 2, 0, 1, 2, 0, 2, 0, 2, 1, 1},
    {0, 1, 2, 1, 2, 0, 0, 1, 2, 1, 0, 2},
    {0, 1, 2, 2, 0, 2, 1, 1, 1, 0, 2, 0},
    {0, 2, 1, 0, 2, 0, 2, 1, 1, 2, 1, 0},
    {0, 2, 1, 1, 0, 2, 1, 0, 2, 2, 0, 1},
    {0, 2, 1, 2, 1, 1, 0, 2, 1, 0, 0, 2},
    {0, 2, 2, 1, 1, 1, 2, 0, 0, 1, 2, 0},
}};

// A square +-1 matrix, row-major.
struct SignMatrix {
  int order = 0;
  std::vector<std::int8_t> entries;

  std::int8_t at(int row, int column) const {
    return entries[static_cast<std::size_t>(row) * static_cast<std::size_t>(order) +
                   static_cast<std::size_t>(column)];
  }
  std::int8_t& at(int row, int column) {
    return entries[static_cast<std::size_t>(row) * static_cast<std::size_t>(order) +
                   static_cast<std::size_t>(column)];
  }
};

SignMatrix makeSignMatrix(int order) {
  SignMatrix m;
  m.order = order;
  m.entries.assign(static_cast<std::size_t>(order) * static_cast<std::size_t>(order), 1);
  return m;
}

SignMatrix kronecker(const SignMatrix& a, const SignMatrix& b) {
  SignMatrix m = makeSignMatrix(a.order * b.order);
  for (int i = 0; i < a.order; ++i) {
    for (int j = 0; j < a.order; ++j) {
      for (int k = 0; k < b.order; ++k) {
        for (int l = 0; l < b.order; ++l) {
          m.at(i * b.order + k, j * b.order + l) =
              static_cast<std::int8_t>(a.at(i, j) * b.at(k, l));
        }
      }
    }
  }
  return m;
}

// Sylvester's matrix of order `order` (a power of two).
SignMatrix sylvester(int order) {
  SignMatrix m = makeSignMatrix(1);
  SignMatrix two = makeSignMatrix(2);
  two.at(1, 1) = -1;
  while (m.order < order) m = kronecker(two, m);
  return m;
}

// The quadratic character of Z_q for a prime q: 0 at 0, +1 on the nonzero squares, -1 else.
std::vector<int> quadraticCharacter(int q) {
  std::vector<int> chi(static_cast<std::size_t>(q), -1);
  chi[0] = 0;
  for (int x = 1; x < q; ++x) chi[static_cast<std::size_t>(x * x % q)] = 1;
  return chi;
}

// The Jacobsthal entry Q[i][j] = chi(j - i) of Z_q.
int jacobsthal(const std::vector<int>& chi, int q, int i, int j) {
  return chi[static_cast<std::size_t>(((j - i) % q + q) % q)];
}

// Paley's first construction, q prime with q = 3 mod 4: H = I + S of order q + 1, where S
// has first row (0, 1, .., 1), first column (0, -1, .., -1) and the Jacobsthal matrix
// (skew-symmetric for such q) below.
SignMatrix paleyOne(int q) {
  std::vector<int> chi = quadraticCharacter(q);
  SignMatrix m = makeSignMatrix(q + 1);
  for (int i = 1; i <= q; ++i) {
    m.at(i, 0) = -1;
    for (int j = 1; j <= q; ++j) {
      m.at(i, j) = static_cast<std::int8_t>(i == j ? 1 : jacobsthal(chi, q, i - 1, j - 1));
    }
  }
  return m;
}

// Paley's second construction, q prime with q = 1 mod 4: the symmetric conference matrix C
// of order q + 1 (zero diagonal, first row and column 1 elsewhere, the Jacobsthal matrix
// below) with each 0 replaced by [[1, -1], [-1, -1]] and each +-1 by +-[[1, 1], [1, -1]].
SignMatrix paleyTwo(int q) {
  std::vector<int> chi = quadraticCharacter(q);
  SignMatrix m = makeSignMatrix(2 * (q + 1));
  for (int i = 0; i <= q; ++i) {
    for (int j = 0; j <= q; ++j) {
      int c = 0;
      if (i != j) c = (i == 0 || j == 0) ? 1 : jacobsthal(chi, q, i - 1, j - 1);
      const int block[2][2] = {{c == 0 ? 1 : c, c == 0 ? -1 : c},
                               {c == 0 ? -1 : c, c == 0 ? -1 : -c}};
      for (int k = 0; k < 2; ++k) {
        for (int l = 0; l < 2; ++l) {
          m.at(2 * i + k, 2 * j + l) = static_cast<std::int8_t>(block[k][l]);
        }
      }
    }
  }
  return m;
}

// The Hadamard matrix behind a two-level table of `runs` rows.
SignMatrix hadamard(int runs) {
  switch (runs) {
    case 12:
      return paleyOne(11);
    case 72:
      return paleyOne(71);
    case 80:
      return paleyOne(79);
    case 88:
      return kronecker(sylvester(2), paleyOne(43));
    case 96:
      return kronecker(sylvester(8), paleyOne(11));
    case 104:
      return paleyOne(103);
    case 112:
      return kronecker(sylvester(4), paleyTwo(13));
    case 120:
      return kronecker(sylvester(2), paleyOne(59));
    default:
      return sylvester(runs);  // 16, 32, 128
  }
}

OrthogonalTable makeTable(int runs, int twoLevelColumns, int threeLevelColumns) {
  OrthogonalTable table;
  table.runs = runs;
  table.columns = twoLevelColumns + threeLevelColumns;
  table.levels.assign(static_cast<std::size_t>(twoLevelColumns), 2);
  table.levels.resize(static_cast<std::size_t>(table.columns), 3);
  table.cells.assign(static_cast<std::size_t>(runs) * static_cast<std::size_t>(table.columns), 0);
  return table;
}

std::int32_t& cell(OrthogonalTable& table, int run, int column) {
  return table.cells[static_cast<std::size_t>(run) * static_cast<std::size_t>(table.columns) +
                     static_cast<std::size_t>(column)];
}

template <std::size_t N>
OrthogonalTable storedTable(const char* const (&rows)[N]) {
  int columns = static_cast<int>(std::char_traits<char>::length(rows[0]));
  OrthogonalTable table = makeTable(static_cast<int>(N), columns, 0);
  for (int r = 0; r < table.runs; ++r) {
    for (int c = 0; c < columns; ++c) cell(table, r, c) = rows[r][c] - '1';
  }
  return table;
}

OrthogonalTable hadamardTable(int runs) {
  SignMatrix h = hadamard(runs);
  OrthogonalTable table = makeTable(runs, runs - 1, 0);
  for (int r = 0; r < runs; ++r) {
    int sign = h.at(r, 0);  // the row's factor that makes the first column +1
    for (int c = 1; c < runs; ++c) cell(table, r, c - 1) = sign * h.at(r, c) > 0 ? 0 : 1;
  }
  return table;
}

// The linear forms over GF(3)^m, m = 2, 3, 4, by their highest nonzero coordinate, then by
// the lower coefficients: A, B, AB, A^2B, C, AC, .. for m = 2, 3.
OrthogonalTable linearFormTable(int runs) {
  int m = 0;
  for (int n = 1; n < runs; n *= 3) ++m;
  std::vector<std::vector<int>> forms;
  for (int high = 0; high < m; ++high) {
    int lowCount = 1;
    for (int i = 0; i < high; ++i) lowCount *= 3;
    for (int low = 0; low < lowCount; ++low) {
      std::vector<int> a(static_cast<std::size_t>(m), 0);
      a[static_cast<std::size_t>(high)] = 1;
      for (int i = 0, rest = low; i < high; ++i, rest /= 3) {
        a[static_cast<std::size_t>(i)] = rest % 3;
      }
      forms.push_back(std::move(a));
    }
  }
  OrthogonalTable table = makeTable(runs, 0, static_cast<int>(forms.size()));
  std::vector<int> x(static_cast<std::size_t>(m));
  for (int r = 0; r < runs; ++r) {
    for (int i = m - 1, rest = r; i >= 0; --i, rest /= 3) x[static_cast<std::size_t>(i)] = rest % 3;
    for (int c = 0; c < table.columns; ++c) {
      int sum = 0;
      for (int i = 0; i < m; ++i) {
        sum += forms[static_cast<std::size_t>(c)][static_cast<std::size_t>(i)] *
               x[static_cast<std::size_t>(i)];
      }
      cell(table, r, c) = sum % 3;
    }
  }
  return table;
}

// The 3r runs of a difference scheme D(r, r, 3), run i * 3 + e. `head` writes the columns
// that replace the r-level column i (the 2-level ones and the first 3-level one); the r
// scheme columns follow.
template <std::size_t R, typename Head>
OrthogonalTable differenceSchemeTable(const std::array<std::array<int, R>, R>& scheme,
                                      int twoLevelColumns, Head head) {
  const int r = static_cast<int>(R);
  OrthogonalTable table = makeTable(3 * r, twoLevelColumns, r + 1);
  for (int i = 0; i < r; ++i) {
    for (int e = 0; e < 3; ++e) {
      int run = i * 3 + e;
      head(table, run, i);
      for (int j = 0; j < r; ++j) {
        cell(table, run, twoLevelColumns + 1 + j) =
            (scheme[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)] + e) % 3;
      }
    }
  }
  return table;
}

}  // namespace

std::span<const OrthogonalTableInfo> orthogonalTableCatalog() { return kCatalog; }

const OrthogonalTableInfo* orthogonalTableFind(std::string_view name) {
  for (const OrthogonalTableInfo& info : kCatalog) {
    if (info.name == name) return &info;
  }
  return nullptr;
}

OrthogonalTable orthogonalTableBuild(const OrthogonalTableInfo& info) {
  if (info.name == "L4") return storedTable(kL4Rows);
  if (info.name == "L8") return storedTable(kL8Rows);
  if (info.name == "L18") {
    return differenceSchemeTable(kScheme6, 1, [](OrthogonalTable& t, int run, int i) {
      cell(t, run, 0) = i / 3;
      cell(t, run, 1) = i % 3;
    });
  }
  if (info.name == "L36") {
    return differenceSchemeTable(kScheme12, 3, [](OrthogonalTable& t, int run, int i) {
      int a = i / 6;
      int b = i / 3 % 2;
      cell(t, run, 0) = a;
      cell(t, run, 1) = b;
      cell(t, run, 2) = a ^ b;
      cell(t, run, 3) = i % 3;
    });
  }
  if (info.threeLevelColumns > 0) return linearFormTable(info.runs);
  return hadamardTable(info.runs);
}

}  // namespace karvo::doe
