// BGRA to YUV 4:2:0 in BT.709 limited range, with the chroma sited left so that the pixels match the colour
// description the encoders write. libyuv scales (its BGRA-to-YUV matrices are BT.601 only, so the
// conversion itself is ours); the loops are written so that the compiler vectorises them.
//
// A picture that needs scaling is converted at its own size and its planes are scaled afterwards: libyuv's
// plane scaler keeps levels exactly, while its BGRA and interleaved-UV filters darken by 1/128 (white
// becomes 253).

#include "platform/linux/x11_capture.h"

#include <libyuv/planar_functions.h>
#include <libyuv/scale.h>

#include <immintrin.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <semaphore>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace platform::yuv {

namespace {

constexpr double kr = 0.2126;
constexpr double kb = 0.0722;
constexpr double kg = 1.0 - kr - kb;
constexpr double luma_scale = 219.0 / 255.0;
constexpr double chroma_scale = 224.0 / 255.0;

constexpr int round_to_int(double value)
{
    return int(value + (value >= 0 ? 0.5 : -0.5));
}

// The loops work on 16-bit lanes with high-half multiplies, twice as many lanes as 32-bit arithmetic.
// Luma: (channel << 8) x coefficient x 2^16, high half = Y contribution x 2^8.
constexpr std::uint16_t y_r = std::uint16_t(round_to_int(kr * luma_scale * 65536));
constexpr std::uint16_t y_g = std::uint16_t(round_to_int(kg * luma_scale * 65536));
constexpr std::uint16_t y_b = std::uint16_t(round_to_int(kb * luma_scale * 65536));
constexpr std::uint16_t y_offset = (16 << 8) + (1 << 7);

// Chroma: the weighted sums carry a weight of 8 (two rows times the 1-2-1 filter), at most 2040. (sum << 4)
// x coefficient x 2^15, high half = contribution x 2^6. The green terms are derived so that each row sums to
// zero: grey stays exactly 128.
constexpr std::int16_t u_r = std::int16_t(round_to_int(-kr / (2 * (1 - kb)) * chroma_scale * 32768));
constexpr std::int16_t u_b = std::int16_t(round_to_int(0.5 * chroma_scale * 32768));
constexpr std::int16_t u_g = std::int16_t(-(u_r + u_b));
constexpr std::int16_t v_r = std::int16_t(round_to_int(0.5 * chroma_scale * 32768));
constexpr std::int16_t v_b = std::int16_t(round_to_int(-kb / (2 * (1 - kr)) * chroma_scale * 32768));
constexpr std::int16_t v_g = std::int16_t(-(v_r + v_b));
constexpr std::int16_t c_offset = (128 << 6) + (1 << 5);

inline std::uint16_t mul_high(std::uint16_t a, std::uint16_t b)
{
    return std::uint16_t((std::uint32_t(a) * b) >> 16);
}
inline std::int16_t mul_high(std::int16_t a, std::int16_t b)
{
    return std::int16_t((std::int32_t(a) * b) >> 16);
}

__attribute__((target_clones("avx2", "default"))) void luma_row_portable(
    std::uint32_t const* __restrict src, std::uint8_t* __restrict dst, std::uint32_t width)
{
    for (std::uint32_t x = 0; x < width; ++x) {
        std::uint32_t const p = src[x];
        auto const b = std::uint16_t((p & 0xff) << 8);
        auto const g = std::uint16_t(((p >> 8) & 0xff) << 8);
        auto const r = std::uint16_t(((p >> 16) & 0xff) << 8);
        dst[x] = std::uint8_t(std::uint16_t(mul_high(r, y_r) + mul_high(g, y_g) + mul_high(b, y_b) + y_offset) >> 8);
    }
}

// The same arithmetic, 32 pixels a step, without moving the channels out of their pixels: a 16-bit shift puts
// B and R (times 2^8) in the two halves of each pixel, a mask leaves G in the low half, and the high-half
// multiplies by a per-half coefficient give the three contributions, summed in the low half.
// Eight pixels to eight luma values, one in the low byte of each 32-bit lane.
__attribute__((target("avx2"), always_inline)) inline __m256i luma_eight(__m256i pixels)
{
    __m256i const br = _mm256_set1_epi32(int((std::uint32_t(y_r) << 16) | y_b));
    __m256i sum = _mm256_add_epi16(_mm256_mulhi_epu16(_mm256_slli_epi16(pixels, 8), br),
        _mm256_mulhi_epu16(_mm256_and_si256(pixels, _mm256_set1_epi32(0x0000ff00)), _mm256_set1_epi32(y_g)));
    sum = _mm256_add_epi16(_mm256_add_epi16(sum, _mm256_srli_epi32(sum, 16)), _mm256_set1_epi32(y_offset));
    return _mm256_srli_epi32(_mm256_slli_epi32(sum, 16), 24);
}

__attribute__((target("avx2"))) void luma_row_avx2(
    std::uint32_t const* __restrict src, std::uint8_t* __restrict dst, std::uint32_t width)
{
    __m256i const order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    std::uint32_t x = 0;
    for (; x + 32 <= width; x += 32) {
        auto const* p = reinterpret_cast<__m256i const*>(src + x);
        __m256i const low = _mm256_packus_epi32(luma_eight(_mm256_loadu_si256(p)), luma_eight(_mm256_loadu_si256(p + 1)));
        __m256i const high = _mm256_packus_epi32(luma_eight(_mm256_loadu_si256(p + 2)), luma_eight(_mm256_loadu_si256(p + 3)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + x),
            _mm256_permutevar8x32_epi32(_mm256_packus_epi16(low, high), order));
    }
    if (x < width)
        luma_row_portable(src + x, dst + x, width - x);
}

std::atomic<bool> vector_loops { __builtin_cpu_supports("avx2") != 0 };

void luma_row(std::uint32_t const* __restrict src, std::uint8_t* __restrict dst, std::uint32_t width)
{
    if (vector_loops.load(std::memory_order_relaxed))
        luma_row_avx2(src, dst, width);
    else
        luma_row_portable(src, dst, width);
}

// Two-row sums of each channel, split into even and odd columns. `odd` has one extra entry in front that
// repeats the first even column, so that the filter's left neighbour of column 0 is column 0 itself.
struct ChromaScratch {
    std::vector<std::int16_t> even[3];
    std::vector<std::int16_t> odd[3];
    std::vector<std::uint8_t> u;
    std::vector<std::uint8_t> v;
    void resize(std::uint32_t half)
    {
        u.resize(half);
        v.resize(half);
        for (auto& v : even)
            v.resize(half);
        for (auto& v : odd)
            v.resize(half + 1);
    }
};

__attribute__((target_clones("avx2", "default"))) void column_sums_portable(std::uint32_t const* __restrict row0,
    std::uint32_t const* __restrict row1, std::int16_t* __restrict eb, std::int16_t* __restrict eg,
    std::int16_t* __restrict er, std::int16_t* __restrict ob, std::int16_t* __restrict og, std::int16_t* __restrict orr,
    std::uint32_t half)
{
    for (std::uint32_t i = 0; i < half; ++i) {
        std::uint32_t const a = row0[2 * i], b = row0[2 * i + 1];
        std::uint32_t const c = row1[2 * i], d = row1[2 * i + 1];
        eb[i] = std::int16_t((a & 0xff) + (c & 0xff));
        eg[i] = std::int16_t(((a >> 8) & 0xff) + ((c >> 8) & 0xff));
        er[i] = std::int16_t(((a >> 16) & 0xff) + ((c >> 16) & 0xff));
        ob[i] = std::int16_t((b & 0xff) + (d & 0xff));
        og[i] = std::int16_t(((b >> 8) & 0xff) + ((d >> 8) & 0xff));
        orr[i] = std::int16_t(((b >> 16) & 0xff) + ((d >> 16) & 0xff));
    }
}

// The same sums, 16 pixels a step. The compiler's version of the loop above spends most of its time
// deinterleaving the even and odd columns (over half of the whole conversion); here each channel pair is summed
// in place (B and R, then G and the unused byte, as 16-bit halves of each pixel) and one byte shuffle, one
// lane permutation and one 64-bit unpack sort the sums into the six rows.
// Within each 128-bit lane of four pixels [c0 d0 c1 d1 c2 d2 c3 d3] (16-bit sums of two channels c, d), the byte
// shuffle gives [c0 c2 c1 c3 d0 d2 d1 d3]: even c, odd c, even d, odd d, two of each; the lane permutation then
// brings both lanes' pairs together: even c 0-3, odd c 0-3, even d 0-3, odd d 0-3.
__attribute__((target("avx2"), always_inline)) inline __m256i sorted_sums(__m256i a, __m256i c, int shift)
{
    __m256i const low_bytes = _mm256_set1_epi32(0x00ff00ff);
    __m256i const sort = _mm256_setr_epi8(0, 1, 8, 9, 4, 5, 12, 13, 2, 3, 10, 11, 6, 7, 14, 15, 0, 1, 8, 9, 4, 5, 12,
        13, 2, 3, 10, 11, 6, 7, 14, 15);
    __m256i const x = _mm256_and_si256(_mm256_srli_epi32(a, shift), low_bytes);
    __m256i const y = _mm256_and_si256(_mm256_srli_epi32(c, shift), low_bytes);
    return _mm256_permutevar8x32_epi32(
        _mm256_shuffle_epi8(_mm256_add_epi16(x, y), sort), _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}

// Sixteen pixels' sorted sums (first: pixels 0-7, second: 8-15) into eight entries of four rows.
__attribute__((target("avx2"), always_inline)) inline void store_sums(std::int16_t* even_c, std::int16_t* odd_c,
    std::int16_t* even_d, std::int16_t* odd_d, __m256i first, __m256i second)
{
    __m256i const evens = _mm256_unpacklo_epi64(first, second); // even c 0-7 | even d 0-7
    __m256i const odds = _mm256_unpackhi_epi64(first, second); // odd c 0-7 | odd d 0-7
    _mm_storeu_si128(reinterpret_cast<__m128i*>(even_c), _mm256_castsi256_si128(evens));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(even_d), _mm256_extracti128_si256(evens, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(odd_c), _mm256_castsi256_si128(odds));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(odd_d), _mm256_extracti128_si256(odds, 1));
}

__attribute__((target("avx2"))) void column_sums_avx2(std::uint32_t const* __restrict row0,
    std::uint32_t const* __restrict row1, std::int16_t* __restrict eb, std::int16_t* __restrict eg,
    std::int16_t* __restrict er, std::int16_t* __restrict ob, std::int16_t* __restrict og, std::int16_t* __restrict orr,
    std::uint32_t half)
{
    std::uint32_t i = 0;
    for (; i + 8 <= half; i += 8) {
        auto const* a = reinterpret_cast<__m256i const*>(row0 + 2 * i);
        auto const* c = reinterpret_cast<__m256i const*>(row1 + 2 * i);
        __m256i const a0 = _mm256_loadu_si256(a), a1 = _mm256_loadu_si256(a + 1);
        __m256i const c0 = _mm256_loadu_si256(c), c1 = _mm256_loadu_si256(c + 1);
        store_sums(eb + i, ob + i, er + i, orr + i, sorted_sums(a0, c0, 0), sorted_sums(a1, c1, 0));
        // The unused byte's sums land in the d rows: written to a scratch row that nobody reads.
        alignas(16) std::int16_t unused[16];
        store_sums(eg + i, og + i, unused, unused + 8, sorted_sums(a0, c0, 8), sorted_sums(a1, c1, 8));
    }
    if (i < half)
        column_sums_portable(row0 + 2 * i, row1 + 2 * i, eb + i, eg + i, er + i, ob + i, og + i, orr + i, half - i);
}

void column_sums(std::uint32_t const* __restrict row0, std::uint32_t const* __restrict row1, std::int16_t* eb,
    std::int16_t* eg, std::int16_t* er, std::int16_t* ob, std::int16_t* og, std::int16_t* orr, std::uint32_t half)
{
    if (vector_loops.load(std::memory_order_relaxed))
        column_sums_avx2(row0, row1, eb, eg, er, ob, og, orr, half);
    else
        column_sums_portable(row0, row1, eb, eg, er, ob, og, orr, half);
}

__attribute__((target_clones("avx2", "default"))) void chroma_row_i420(std::int16_t const* __restrict eb,
    std::int16_t const* __restrict eg, std::int16_t const* __restrict er, std::int16_t const* __restrict ob,
    std::int16_t const* __restrict og, std::int16_t const* __restrict orr, std::uint8_t* __restrict u,
    std::uint8_t* __restrict v, std::uint32_t half)
{
    // ob/og/orr point at the extra entry: [i] is the odd column left of even column i, [i + 1] the one right.
    for (std::uint32_t i = 0; i < half; ++i) {
        auto const b = std::int16_t((ob[i] + 2 * eb[i] + ob[i + 1]) << 4);
        auto const g = std::int16_t((og[i] + 2 * eg[i] + og[i + 1]) << 4);
        auto const r = std::int16_t((orr[i] + 2 * er[i] + orr[i + 1]) << 4);
        auto const cb
            = std::uint8_t(std::int16_t(mul_high(r, u_r) + mul_high(g, u_g) + mul_high(b, u_b) + c_offset) >> 6);
        auto const cr
            = std::uint8_t(std::int16_t(mul_high(r, v_r) + mul_high(g, v_g) + mul_high(b, v_b) + c_offset) >> 6);
        u[i] = cb;
        v[i] = cr;
    }
}

void convert_rows(BgraImage const& source, YuvImage const& out, ChromaScratch& scratch)
{
    std::uint32_t const width = out.width;
    std::uint32_t const half = width / 2;
    scratch.resize(half);
    for (std::uint32_t y = 0; y + 1 < out.height; y += 2) {
        auto const* row0 = source.pixels + std::size_t(y) * source.stride;
        auto const* row1 = row0 + source.stride;
        luma_row(reinterpret_cast<std::uint32_t const*>(row0), out.planes[0] + std::size_t(y) * out.strides[0], width);
        luma_row(
            reinterpret_cast<std::uint32_t const*>(row1), out.planes[0] + std::size_t(y + 1) * out.strides[0], width);
        column_sums(reinterpret_cast<std::uint32_t const*>(row0), reinterpret_cast<std::uint32_t const*>(row1),
            scratch.even[0].data(), scratch.even[1].data(), scratch.even[2].data(), scratch.odd[0].data() + 1,
            scratch.odd[1].data() + 1, scratch.odd[2].data() + 1, half);
        for (int c = 0; c < 3; ++c)
            scratch.odd[c][0] = scratch.even[c][0];
        std::size_t const chroma_row_index = y / 2;
        auto const& e = scratch.even;
        auto const& o = scratch.odd;
        if (out.layout == PixelLayout::Nv12) {
            // Planar first, then libyuv's interleaving: the compiler does not vectorise interleaved stores.
            chroma_row_i420(e[0].data(), e[1].data(), e[2].data(), o[0].data(), o[1].data(), o[2].data(),
                scratch.u.data(), scratch.v.data(), half);
            libyuv::MergeUVPlane(scratch.u.data(), int(half), scratch.v.data(), int(half),
                out.planes[1] + chroma_row_index * out.strides[1], int(half * 2), int(half), 1);
        } else
            chroma_row_i420(e[0].data(), e[1].data(), e[2].data(), o[0].data(), o[1].data(), o[2].data(),
                out.planes[1] + chroma_row_index * out.strides[1], out.planes[2] + chroma_row_index * out.strides[2],
                half);
    }
}

YuvImage sub_image(YuvImage const& image, Rect const& rect)
{
    YuvImage sub = image;
    sub.width = rect.width();
    sub.height = rect.height();
    sub.planes[0] = image.planes[0] + std::size_t(rect.top) * image.strides[0] + rect.left;
    if (image.layout == PixelLayout::Nv12) {
        sub.planes[1] = image.planes[1] + std::size_t(rect.top / 2) * image.strides[1] + rect.left;
    } else {
        sub.planes[1] = image.planes[1] + std::size_t(rect.top / 2) * image.strides[1] + rect.left / 2;
        sub.planes[2] = image.planes[2] + std::size_t(rect.top / 2) * image.strides[2] + rect.left / 2;
    }
    return sub;
}

// Rows y0..y1 (both even) of a picture and of its converted frame.
std::pair<BgraImage, YuvImage> row_band(
    BgraImage const& source, YuvImage const& out, std::uint32_t y0, std::uint32_t y1)
{
    BgraImage band_source = source;
    band_source.pixels += std::size_t(y0) * source.stride;
    band_source.height = y1 - y0;
    YuvImage band = out;
    band.height = y1 - y0;
    band.planes[0] += std::size_t(y0) * out.strides[0];
    band.planes[1] += std::size_t(y0 / 2) * out.strides[1];
    if (out.layout == PixelLayout::I420)
        band.planes[2] += std::size_t(y0 / 2) * out.strides[2];
    return { band_source, band };
}

// A large picture is converted by two threads, each taking one half of the rows: the conversion is bound by
// memory traffic, which one core alone cannot saturate.
class TwoBandConverter {
public:
    TwoBandConverter()
    {
        try {
            m_helper = std::thread([this] { helper_loop(); });
            pthread_setname_np(m_helper.native_handle(), "quillmar-yuv");
        } catch (std::system_error const&) {
            // No second thread: one thread converts everything.
        }
    }
    ~TwoBandConverter()
    {
        if (!m_helper.joinable())
            return;
        m_quit = true;
        m_start.release();
        m_helper.join();
    }
    TwoBandConverter(TwoBandConverter const&) = delete;
    TwoBandConverter& operator=(TwoBandConverter const&) = delete;

    void convert(BgraImage const& source, YuvImage const& out)
    {
        constexpr std::uint32_t min_split_height = 480;
        if (!m_helper.joinable() || out.height < min_split_height) {
            convert_rows(source, out, m_scratch[0]);
            return;
        }
        std::uint32_t const split = (out.height / 2) & ~1u;
        auto const [top_source, top] = row_band(source, out, 0, split);
        auto const [bottom_source, bottom] = row_band(source, out, split, out.height);
        m_band_source = bottom_source;
        m_band = bottom;
        m_start.release();
        convert_rows(top_source, top, m_scratch[0]);
        m_done.acquire();
    }

private:
    void helper_loop()
    {
        for (;;) {
            m_start.acquire();
            if (m_quit)
                return;
            convert_rows(m_band_source, m_band, m_scratch[1]);
            m_done.release();
        }
    }

    std::thread m_helper;
    std::binary_semaphore m_start { 0 };
    std::binary_semaphore m_done { 0 };
    bool m_quit { false }; // written before m_start is released, read after it is acquired
    BgraImage m_band_source;
    YuvImage m_band;
    ChromaScratch m_scratch[2];
};

class SoftwareConverter final : public FrameConverter {
public:
    SoftwareConverter(std::uint32_t width, std::uint32_t height, Rect target)
        : m_width(width)
        , m_height(height)
        , m_target(target)
    {
        if (target.width() != width || target.height() != height) {
            // Converted at the source size (made even), then scaled plane by plane.
            m_full.width = width & ~1u;
            m_full.height = height & ~1u;
            m_full.layout = PixelLayout::I420;
            m_full.strides[0] = m_full.width;
            m_full.strides[1] = m_full.strides[2] = m_full.width / 2;
            std::size_t const luma = std::size_t(m_full.width) * m_full.height;
            m_full_memory.resize(luma + luma / 2);
            m_full.planes[0] = m_full_memory.data();
            m_full.planes[1] = m_full.planes[0] + luma;
            m_full.planes[2] = m_full.planes[1] + luma / 4;
            std::size_t const chroma = std::size_t(target.width() / 2) * (target.height() / 2);
            m_chroma_memory.resize(2 * chroma);
        }
    }

    void convert(BgraImage const& source, YuvImage& out) override
    {
        if (source.width != m_width || source.height != m_height || m_target.width() == 0 || m_target.height() == 0)
            return;
        YuvImage const target = sub_image(out, m_target);
        if (m_full_memory.empty()) {
            m_bands.convert(source, target);
            return;
        }
        m_bands.convert(source, m_full);
        int const fw = int(m_full.width), fh = int(m_full.height);
        int const tw = int(target.width), th = int(target.height);
        libyuv::ScalePlane(
            m_full.planes[0], fw, fw, fh, target.planes[0], int(target.strides[0]), tw, th, libyuv::kFilterBilinear);
        if (target.layout == PixelLayout::I420) {
            for (int p = 1; p < 3; ++p)
                libyuv::ScalePlane(m_full.planes[p], fw / 2, fw / 2, fh / 2, target.planes[p], int(target.strides[p]),
                    tw / 2, th / 2, libyuv::kFilterBilinear);
            return;
        }
        std::uint8_t* u = m_chroma_memory.data();
        std::uint8_t* v = u + m_chroma_memory.size() / 2;
        libyuv::ScalePlane(
            m_full.planes[1], fw / 2, fw / 2, fh / 2, u, tw / 2, tw / 2, th / 2, libyuv::kFilterBilinear);
        libyuv::ScalePlane(
            m_full.planes[2], fw / 2, fw / 2, fh / 2, v, tw / 2, tw / 2, th / 2, libyuv::kFilterBilinear);
        libyuv::MergeUVPlane(u, tw / 2, v, tw / 2, target.planes[1], int(target.strides[1]), tw / 2, th / 2);
    }

private:
    std::uint32_t m_width;
    std::uint32_t m_height;
    Rect m_target;
    YuvImage m_full;
    std::vector<std::uint8_t> m_full_memory;
    std::vector<std::uint8_t> m_chroma_memory;
    TwoBandConverter m_bands;
};
}

void use_vector_loops(bool on)
{
    vector_loops.store(on && __builtin_cpu_supports("avx2"));
}

void bgra_to_yuv(BgraImage const& source, YuvImage const& out)
{
    ChromaScratch scratch;
    convert_rows(source, out, scratch);
}

std::unique_ptr<FrameConverter> converter(std::uint32_t width, std::uint32_t height, Rect target)
{
    return std::make_unique<SoftwareConverter>(width, height, target);
}

}

namespace platform {
CaptureDriver const x11_capture_driver { "x11", x11::monitors, x11::open, yuv::converter };

std::span<CaptureDriver const> capture_drivers()
{
    return { &x11_capture_driver, 1 };
}
}
