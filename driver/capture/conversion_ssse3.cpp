// SSSE3 rows: the byte shuffle makes the three-byte pixels cheap.
#include "capture/conversion_rows.h"

#if defined(__x86_64__) || defined(_M_X64)

#include "capture/conversion_x86.h"

#include <tmmintrin.h>

namespace conversion {
namespace {

using namespace x86;

// Four BGR0 pixels to their 12 BGR bytes, low in the vector.
__m128i dropFourthBytes(__m128i x) {
    const __m128i order = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    return _mm_shuffle_epi8(x, order);
}

void rgb24RowSsse3(const UCHAR* y, const UCHAR* cb, const UCHAR* cr, PUCHAR dst, SIZE_T width) {
    rgb24Row<dropFourthBytes>(
        y, cb, cr, dst, width,
        [](auto y, auto cb, auto cr, auto dst, auto n) { scalarRgbRow(y, cb, cr, dst, n, 3); });
}

// 16 grey values to 48 bytes: each value three times.
void grey24RowSsse3(const UCHAR* y, PUCHAR dst, SIZE_T width) {
    const __m128i first = _mm_setr_epi8(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5);
    const __m128i second = _mm_setr_epi8(5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10);
    const __m128i third =
        _mm_setr_epi8(10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15);
    forBlocks<16>(
        width,
        [&](SIZE_T x) {
            __m128i v = load128(y + x);
            store128(dst + 3 * x, _mm_shuffle_epi8(v, first));
            store128(dst + 3 * x + 16, _mm_shuffle_epi8(v, second));
            store128(dst + 3 * x + 32, _mm_shuffle_epi8(v, third));
        },
        [&] { scalarGreyRow(y, dst, width, 3); });
}

} // namespace

void fillRowsSsse3(ConversionRows* rows) {
    rows->rgb24 = rgb24RowSsse3;
    rows->grey24 = grey24RowSsse3;
}

} // namespace conversion

#else

namespace conversion {
void fillRowsSsse3(ConversionRows*) {}
} // namespace conversion

#endif
