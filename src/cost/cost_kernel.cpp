// The kernel table is a two-dimensional prefix sum of the kernel matrix, filled
// row by row with one compensated accumulator per row, so a segment's block
// sum is four table reads however long the segment is.
#include "cost/cost_kernel.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <new>
#include <string>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "linalg/order.hpp"
#include "prefix/accumulator.hpp"
#include "prefix/center.hpp"

namespace marbolt::cost {
namespace {

// The rbf kernel clips the scaled squared distance gamma d^2 to this range, so
// that its values stay within [exp(-100), exp(-0.01)]: never 0, whatever the
// distance, and below 1 off the diagonal however close two samples are.
constexpr double kLeastScaledDistance = 0.01;
constexpr double kGreatestScaledDistance = 100.0;
// exp(-100), the value of every rbf entry whose scaled distance is past 100.
constexpr double kExpMinus100 = 3.720075976020836e-44;
// The 32-bit floats nearest 0.01 and 100, widened, and the midpoints above
// and below which a double rounds past them; exp(-kFloatHundredth) is the
// "extension" diagonal.
constexpr double kFloatHundredth = 0.009999999776482582;
constexpr double kBelowFloatHundredth = 0.009999999310821295;
constexpr double kAboveFloatHundred = 100.00000381469727;
constexpr double kExtensionDiagonal = 0.9900498339704614;

// Sums from 0.0 in column order. (a - b)^2 and (b - a)^2 round alike, so the
// distance is exactly symmetric.
double squared_distance(const double* a, const double* b, std::size_t d) noexcept {
    double s = 0.0;
    for (std::size_t c = 0; c < d; ++c) {
        const double diff = a[c] - b[c];
        s = s + diff * diff;
    }
    return s;
}

double dot(const double* a, const double* b, std::size_t d) noexcept {
    double s = 0.0;
    for (std::size_t c = 0; c < d; ++c) s = s + a[c] * b[c];
    return s;
}

// Scaled distances below 0.01 are raised to it, and past 100 the value is
// pinned to exp(-100) rather than computed: it is never 0. NaN stays NaN.
double rbf_python_value(double v) noexcept {
    const double u = kLeastScaledDistance > v ? kLeastScaledDistance : v;
    return u > kGreatestScaledDistance ? kExpMinus100 : std::exp(-u);
}

// v rounded to a 32-bit float and clipped to the floats nearest 0.01 and 100,
// then widened back.
double rbf_extension_value(double v) noexcept {
    double e;
    if (v > kAboveFloatHundred) {
        e = kGreatestScaledDistance;
    } else if (v < kBelowFloatHundredth) {
        e = kFloatHundredth;
    } else {
        e = static_cast<double>(static_cast<float>(v));
    }
    return std::exp(-e);
}

struct RbfKernel {
    const double* x;
    std::size_t d;
    double gamma;
    bool extension;

    double operator()(std::size_t i, std::size_t l) const noexcept {
        if (extension) return rbf_extension_value(gamma * squared_distance(x + i * d, x + l * d, d));
        if (i == l) return 1.0;
        return rbf_python_value(gamma * squared_distance(x + i * d, x + l * d, d));
    }

    // K[i][l] for l in [l0, l1) into out, as operator() computes each: all
    // scaled distances first, so that the exponentials run in a tight loop.
    void row(std::size_t i, std::size_t l0, std::size_t l1, double* out) const noexcept {
        for (std::size_t l = l0; l < l1; ++l) out[l - l0] = gamma * squared_distance(x + i * d, x + l * d, d);
        if (extension) {
            for (std::size_t k = 0; k < l1 - l0; ++k) out[k] = rbf_extension_value(out[k]);
            return;
        }
        for (std::size_t k = 0; k < l1 - l0; ++k) out[k] = rbf_python_value(out[k]);
        if (l0 <= i && i < l1) out[i - l0] = 1.0;
    }
};

struct CosineKernel {
    const double* x;
    std::size_t d;
    const double* norms;
    bool extension;

    // A zero-norm sample gives 0 / 0 = NaN in every entry it takes part in.
    double operator()(std::size_t i, std::size_t l) const noexcept {
        if (i == l && !extension) return 0.0;
        return dot(x + i * d, x + l * d, d) / (norms[i] * norms[l]);
    }

    // K[i][l] for l in [l0, l1) into out, as operator() computes each.
    void row(std::size_t i, std::size_t l0, std::size_t l1, double* out) const noexcept {
        for (std::size_t l = l0; l < l1; ++l) out[l - l0] = dot(x + i * d, x + l * d, d) / (norms[i] * norms[l]);
        if (!extension && l0 <= i && i < l1) out[i - l0] = 0.0;
    }
};

// Rows summed side by side: each row's compensated sum is a chain of
// dependent additions, and independent chains overlap in the pipeline.
constexpr std::size_t kSideBySide = 8;
// Rows per band of the fill: the rows of the three bands in flight at once
// stay in cache between the passes, and few bands keep the batches few.
constexpr std::size_t kBand = 128;
// Columns of the tiles in which a band's kernel values are computed and
// mirrored. A tile spans the whole band, so its mirror lands as one stretch
// of kBand entries per row below: the table's largest cost is these writes to
// rows far out of cache, and long stretches stream where short ones each wait.
constexpr std::size_t kTile = 32;
static_assert(kBand % kTile == 0, "a band's tiles start on tile boundaries");
// Columns per piece of the vertical pass: long enough to stream, many enough
// pieces to share among the workers.
constexpr std::size_t kColumnChunk = 512;

// K[i][l] for the rows [r0, r1) (at most kBand) and the columns l >= i of
// [c0, c1) (at most kTile), with c0 >= r0: stored at T[i + 1][l + 1] and
// mirrored to T[l + 1][i + 1]. K[l][i] is computed with the operations of
// K[i][l] on swapped operands, which round alike, so the mirror holds the bits
// a second evaluation would give; only a NaN, whose payload may follow the
// operand order, is evaluated again the other way round. Tiles write disjoint entries, so they run in any order.
template <class Kernel>
void store_tile(const Kernel& kernel, std::size_t r0, std::size_t r1, std::size_t c0,
                std::size_t c1, double* table, std::size_t stride) {
    double tile[kBand][kTile];
    for (std::size_t i = r0; i < r1; ++i) {
        const std::size_t from = std::max(c0, i);
        if (from >= c1) continue;
        double* values = &tile[i - r0][from - c0];
        kernel.row(i, from, c1, values);
        std::copy(values, values + (c1 - from), table + (i + 1) * stride + 1 + from);
    }
    for (std::size_t l = c0; l < c1; ++l) {
        double* mirror = table + (l + 1) * stride + 1;
        for (std::size_t i = r0; i < std::min(r1, l + 1); ++i) {
            const double k = tile[i - r0][l - c0];
            mirror[i] = std::isnan(k) ? kernel(l, i) : k;
        }
    }
}

// Replaces the kernel values of rows first + 1 .. first + Rows of the table by
// each row's running compensated sum read out after every column, and zeroes
// their column 0. Rows do not depend on each other.
template <std::size_t Rows>
void sum_rows(std::size_t first, std::size_t n, double* table, std::size_t stride) {
    prefix::CompensatedSum acc[Rows];
    for (std::size_t r = 0; r < Rows; ++r) table[(first + 1 + r) * stride] = 0.0;
    for (std::size_t l = 0; l < n; ++l) {
        for (std::size_t r = 0; r < Rows; ++r) {
            double* entry = table + (first + 1 + r) * stride + 1 + l;
            acc[r].add(*entry);
            *entry = acc[r].value();
        }
    }
}

#if defined(__SSE2__)
// sum_rows for kSideBySide rows, two rows per SSE2 vector, each lane with the
// scalar accumulator's bits.
template <>
void sum_rows<kSideBySide>(std::size_t first, std::size_t n, double* table, std::size_t stride) {
    constexpr std::size_t kPairs = kSideBySide / 2;
    prefix::CompensatedPair acc[kPairs];
    double* row[kSideBySide];
    for (std::size_t r = 0; r < kSideBySide; ++r) {
        row[r] = table + (first + 1 + r) * stride + 1;
        row[r][-1] = 0.0;
    }
    for (std::size_t l = 0; l < n; ++l) {
        for (std::size_t p = 0; p < kPairs; ++p) {
            acc[p].add(_mm_loadh_pd(_mm_load_sd(row[2 * p] + l), row[2 * p + 1] + l));
            const __m128d value = acc[p].value();
            _mm_storel_pd(row[2 * p] + l, value);
            _mm_storeh_pd(row[2 * p + 1] + l, value);
        }
    }
}
#endif

// Adds to each row read-out of the rows [r0, r1) and columns [c0, c1) the
// finished entry above, top row first: T[i + 1][l + 1] = read-out + T[i][l + 1],
// the operation and operand order of the row-by-row fill. The first band
// zeroes the entries of row 0 it reads. Columns do not depend on each other.
void add_above(std::size_t r0, std::size_t r1, std::size_t c0, std::size_t c1, double* table,
               std::size_t stride) {
    if (r0 == 0) std::fill(table + c0 + 1, table + c1 + 1, 0.0);
    for (std::size_t i = r0; i < r1; ++i) {
        const double* above = table + i * stride + 1;
        double* entry = table + (i + 1) * stride + 1;
        for (std::size_t l = c0; l < c1; ++l) entry[l] = entry[l] + above[l];
    }
}

// Piece k of the tiles of the band from row r0: columns from k * kTile, none
// wholly left of the band (kBand is a whole number of tiles).
template <class Kernel>
void store_band_tile(const Kernel& kernel, std::size_t r0, std::size_t k, std::size_t n,
                     double* table, std::size_t stride) {
    const std::size_t c0 = k * kTile;
    if (c0 < r0) return;
    store_tile(kernel, r0, std::min(n, r0 + kBand), c0, std::min(n, c0 + kTile), table, stride);
}

// Piece k of a band's running row sums: kSideBySide rows from row r0 + k *
// kSideBySide, fewer at the end of the table.
void sum_band_rows(std::size_t r0, std::size_t k, std::size_t n, double* table, std::size_t stride) {
    const std::size_t first = r0 + k * kSideBySide;
    if (first + kSideBySide <= n) return sum_rows<kSideBySide>(first, n, table, stride);
    for (std::size_t i = first; i < n; ++i) sum_rows<1>(i, n, table, stride);
}

}  // namespace

void run_in_turn(std::size_t count, const std::function<void(std::size_t)>& body) {
    for (std::size_t i = 0; i < count; ++i) body(i);
}

// Each entry is K[i][l] added to row i's accumulator in increasing l, read out
// and added to the entry above: exactly the row-by-row fill, with each pair's
// kernel value computed once (n^2 / 2 exponentials for rbf instead of n^2).
// The three passes (kernel values by tile, running sums by row, the entries
// above by column) each split into independent pieces for the workers; every
// entry still sees the same operations on the same operands in the same order,
// so the table is the same bits on any number of threads.
template <class Kernel>
CostKernel CostKernel::fill(std::size_t n, const Kernel& kernel,
                            std::span<const double> diagonal, std::string_view name,
                            const ForEachIndex& for_each) {
    const std::size_t stride = n + 1;
    // Unset, so every page is first touched by the worker that writes it, in
    // parallel; row and column 0 are zeroed by the pieces that fill the
    // columns and rows they border.
    KernelTable table(stride * stride);
    double* t = table.data();
    t[0] = 0.0;
    // Band by band of kBand rows, pipelined: batch s stores the kernel tiles of
    // band s, sums the rows of band s - 1 and adds the entries above to band
    // s - 2, so each band takes three batches but every batch holds work of
    // three bands. A band's rows are complete once its own tiles are stored
    // (the part left of the diagonal is the mirror of earlier bands' tiles),
    // tiles only write their band's rows and the rows below it, and band
    // s - 2 reads only its own rows and the last row of band s - 3, finished
    // in batch s - 1: the pieces of a batch touch disjoint entries.
    const std::size_t tiles = (n + kTile - 1) / kTile;
    const std::size_t bands = (n + kBand - 1) / kBand;
    const std::size_t tile_pieces = tiles;
    const std::size_t row_pieces = kBand / kSideBySide;
    const std::size_t column_pieces = (n + kColumnChunk - 1) / kColumnChunk;
    // The long row and column pieces come first and the short tiles last, so
    // that the workers run out of work at nearly the same time.
    for (std::size_t s = 0; s < bands + 2; ++s) {
        for_each(column_pieces + row_pieces + tile_pieces, [&](std::size_t k) {
            if (k < column_pieces) {
                if (s < 2) return;
                const std::size_t r0 = (s - 2) * kBand, c0 = k * kColumnChunk;
                add_above(r0, std::min(n, r0 + kBand), c0, std::min(n, c0 + kColumnChunk), t, stride);
            } else if (k < column_pieces + row_pieces) {
                if (s >= 1 && s <= bands) sum_band_rows((s - 1) * kBand, k - column_pieces, n, t, stride);
            } else if (s < bands) {
                store_band_tile(kernel, s * kBand, k - column_pieces - row_pieces, n, t, stride);
            }
        });
    }
    return CostKernel(std::move(table), stride, prefix::Prefix1::build(diagonal, n, 1), name);
}

double rbf_value(double v, bool extension) noexcept {
    return extension ? rbf_extension_value(v) : rbf_python_value(v);
}

double rbf_default_gamma(std::span<const double> x, std::size_t n, std::size_t d) {
    if (n <= 1) return 1.0;  // no pair: the median is taken as 0
    std::vector<double> distances;
    distances.reserve(n * (n - 1) / 2);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i + 1; j < n; ++j) {
            distances.push_back(squared_distance(x.data() + i * d, x.data() + j * d, d));
        }
    }
    const double median = linalg::median_inplace(distances);
    return median == 0.0 ? 1.0 : 1.0 / median;
}

RbfFit CostKernel::rbf(std::span<const double> x, std::size_t n, std::size_t d,
                       std::optional<double> gamma, bool extension, const ForEachIndex& for_each) {
    // The distance list of the default is released before the table exists.
    const double g = gamma ? *gamma : rbf_default_gamma(x, n, d);
    const std::vector<double> diagonal(n, extension ? kExtensionDiagonal : 1.0);
    return {fill(n, RbfKernel{x.data(), d, g, extension}, diagonal, "rbf", for_each), g};
}

CostKernel CostKernel::cosine(std::span<const double> x, std::size_t n, std::size_t d,
                              bool extension, const ForEachIndex& for_each) {
    std::vector<double> norms(n);
    std::vector<double> diagonal(n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        const double sq = dot(x.data() + i * d, x.data() + i * d, d);
        norms[i] = std::sqrt(sq);
        if (extension) diagonal[i] = sq / (norms[i] * norms[i]);
    }
    return fill(n, CosineKernel{x.data(), d, norms.data(), extension}, diagonal, "cosine", for_each);
}

Status CostKernel::check_directions(std::span<const double> x, std::size_t n, std::size_t d) {
    for (std::size_t i = 0; i < n; ++i) {
        const double* row = x.data() + i * d;
        if (std::all_of(row, row + d, [](double v) { return v == 0.0; })) {
            return value_error("the cosine model needs samples that are not all zeros; sample " +
                               std::to_string(i) + " is");
        }
    }
    return Ok{};
}

double CostKernel::block_sum(std::size_t start, std::size_t end) const noexcept {
    const double* t = table_.data();
    const std::size_t s = stride_;
    return t[end * s + end] - t[start * s + end] - t[end * s + start] + t[start * s + start];
}

double CostKernel::error(std::size_t start, std::size_t end) const noexcept {
    const double len = static_cast<double>(end - start);
    return diag_sum(start, end) - block_sum(start, end) / len;
}

namespace {

// Both tables in one pass over the signal: each row is centred once, its
// values go to the column sums and its squared norm (summed from 0.0 in
// column order) to the norm sums, each through its own compensated
// accumulator, exactly as two separate builds would.
void fill_sums_and_norms(std::span<const double> x, std::size_t n, std::size_t d,
                         std::span<const double> means, std::vector<double>& sums,
                         std::vector<double>& sqnorms) {
    std::vector<prefix::CompensatedSum> acc(d);
    prefix::CompensatedSum norm_acc;
    for (std::size_t i = 0; i < n; ++i) {
        double norm = 0.0;
        for (std::size_t c = 0; c < d; ++c) {
            const double v = x[i * d + c] - means[c];
            acc[c].add(v);
            sums[(i + 1) * d + c] = acc[c].value();
            norm = norm + v * v;
        }
        norm_acc.add(norm);
        sqnorms[i + 1] = norm_acc.value();
    }
}

}  // namespace

CostKernelLinear CostKernelLinear::build(std::span<const double> x, std::size_t n,
                                         std::size_t d) {
    // Centred on the fly, as a centred copy would hold it, so the build keeps
    // nothing of the signal's size beside the two tables.
    const std::vector<double> means = prefix::column_means(x, n, d);
    if (d == 1) {
        // A one-column squared norm, 0.0 + v * v, is v * v to the bit (a
        // square is never -0.0), so both tables come from the one-pass build
        // of sums and squares.
        auto [column, squares] = prefix::Prefix1::build_centred_with_squares(x, n, 1, means);
        return CostKernelLinear(std::move(column), std::move(squares), 1);
    }
    // Without columns every norm is 0; no per-row table is built, so a signal
    // of many rows and no columns stays as cheap as for the plain l2 model.
    if (d == 0) return CostKernelLinear(prefix::Prefix1::build(x, n, 0), prefix::Prefix1{}, 0);
    prefix::Prefix1 sums{std::vector<double>((n + 1) * d, 0.0), d};
    prefix::Prefix1 sqnorms{std::vector<double>(n + 1, 0.0), 1};
    fill_sums_and_norms(x, n, d, means, sums.data, sqnorms.data);
    return CostKernelLinear(std::move(sums), std::move(sqnorms), d);
}

double CostKernelLinear::diag_sum(std::size_t start, std::size_t end) const noexcept {
    if (n_dims_ == 0) return 0.0;
    return sqnorms_.segment_sum(start, end, 0);
}

double CostKernelLinear::block_sum(std::size_t start, std::size_t end) const noexcept {
    double s = 0.0;
    for (std::size_t c = 0; c < n_dims_; ++c) {
        const double v = sums_.segment_sum(start, end, c);
        s = s + v * v;
    }
    return s;
}

double CostKernelLinear::error(std::size_t start, std::size_t end) const noexcept {
    const double len = static_cast<double>(end - start);
    const double e = diag_sum(start, end) - block_sum(start, end) / len;
    return e < 0.0 ? 0.0 : e;
}

}  // namespace marbolt::cost
