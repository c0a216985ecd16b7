#pragma once

#include <vector>

namespace caldrovex {

// A set of picture rows, kept as sorted, disjoint bands [begin, end) that never touch: the
// rows of a picture that changed, or that one copy of it lacks. Plain value type.
class RowBands {
public:
    struct Band {
        int begin = 0;
        int end = 0;
        bool operator==(const Band&) const = default;
    };

    RowBands() = default;

    // Every row of a picture `height` rows tall.
    static RowBands all(int height);

    // Adds rows [begin, end); an empty or reversed range adds nothing.
    void add(int begin, int end);
    void add(const RowBands& other);

    // The rows of this set that are not in `other`.
    RowBands minus(const RowBands& other) const;

    // Where these rows of a picture `height` rows tall lie in the same picture scaled to
    // `toHeight` rows: widened by `margin` rows on each side (the reach of the scaling filter),
    // each band's ends moved outwards to multiples of `alignment` (the last band may end at
    // `toHeight`), all within [0, toHeight).
    RowBands scaled(int height, int toHeight, int margin, int alignment) const;

    bool empty() const { return bands_.empty(); }
    // The number of rows in the set.
    int rows() const;
    const std::vector<Band>& bands() const { return bands_; }

    bool operator==(const RowBands&) const = default;

private:
    std::vector<Band> bands_;
};

}  // namespace caldrovex
