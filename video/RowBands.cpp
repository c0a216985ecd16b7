#include "video/RowBands.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace caldrovex {

RowBands RowBands::all(int height) {
    RowBands set;
    set.add(0, height);
    return set;
}

void RowBands::add(int begin, int end) {
    if (begin >= end) {
        return;
    }
    // Bands that overlap or touch the new one merge with it.
    auto first = std::find_if(bands_.begin(), bands_.end(),
                              [&](const Band& band) { return band.end >= begin; });
    auto last =
        std::find_if(first, bands_.end(), [&](const Band& band) { return band.begin > end; });
    if (first != last) {
        begin = std::min(begin, first->begin);
        end = std::max(end, std::prev(last)->end);
    }
    auto at = bands_.erase(first, last);
    bands_.insert(at, Band{begin, end});
}

void RowBands::add(const RowBands& other) {
    for (const Band& band : other.bands_) {
        add(band.begin, band.end);
    }
}

RowBands RowBands::minus(const RowBands& other) const {
    RowBands result;
    auto cut = other.bands_.begin();
    for (Band band : bands_) {
        while (cut != other.bands_.end() && cut->end <= band.begin) {
            ++cut;
        }
        for (auto c = cut; c != other.bands_.end() && c->begin < band.end; ++c) {
            if (c->begin > band.begin) {
                result.bands_.push_back(Band{band.begin, c->begin});
            }
            band.begin = std::max(band.begin, c->end);
        }
        if (band.begin < band.end) {
            result.bands_.push_back(band);
        }
    }
    return result;
}

RowBands RowBands::scaled(int height, int toHeight, int margin, int alignment) const {
    RowBands result;
    if (height <= 0 || toHeight <= 0) {
        return result;
    }
    alignment = std::max(alignment, 1);
    for (const Band& band : bands_) {
        // Rows [b, e) cover [b·t/h, e·t/h) of the scaled picture: floor and ceiling.
        auto begin = static_cast<int>(int64_t{band.begin} * toHeight / height) - margin;
        auto end = static_cast<int>((int64_t{band.end} * toHeight + height - 1) / height) + margin;
        begin = std::max(begin, 0) / alignment * alignment;
        end = std::min((end + alignment - 1) / alignment * alignment, toHeight);
        result.add(begin, end);
    }
    return result;
}

int RowBands::rows() const {
    int count = 0;
    for (const Band& band : bands_) {
        count += band.end - band.begin;
    }
    return count;
}

}  // namespace caldrovex
