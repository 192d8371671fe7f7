#include <sim/jpeg_codec.h>

#include <csetjmp>
#include <cstdio>
// libjpeg's header needs FILE and size_t declared first.
#include <jpeglib.h>

namespace m4350::sim {

namespace {

// libjpeg reports errors through error_exit, which must not return.
struct ErrorManager {
    jpeg_error_mgr pub;
    jmp_buf jump;
};

void OnError(j_common_ptr cinfo) {
    longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1);
}

void SilenceMessages(j_common_ptr, int) {}

// Writes into the caller's buffer; once it is full the rest of the stream is
// discarded and the encode reported as not fitting.
struct BufferDestination {
    jpeg_destination_mgr pub;
    uint8_t* buffer;
    size_t capacity;
    bool overflow;
    uint8_t scratch[4096];
};

void InitDestination(j_compress_ptr) {}

boolean EmptyOutput(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<BufferDestination*>(cinfo->dest);
    d->overflow = true;
    d->pub.next_output_byte = d->scratch;
    d->pub.free_in_buffer = sizeof(d->scratch);
    return TRUE;
}

void TermDestination(j_compress_ptr) {}

// The board's pictures are studio range (Y 16..235, Cb and Cr 16..240); a
// JPEG (JFIF) carries full-range samples, which every decoder expands as
// such. The encoder stretches each sample on the way in, rounded to nearest.
struct FullRange {
    uint8_t luma[256], chroma[256];
    constexpr FullRange() : luma(), chroma() {
        for (int v = 0; v < 256; ++v) {
            // round(d * 255 / range), symmetric about zero
            const auto stretch = [](int d, int range) {
                const int n = (d < 0 ? -d : d) * 255 * 2 + range;
                return (d < 0 ? -1 : 1) * (n / (2 * range));
            };
            const int y = stretch(v - 16, 219), c = 128 + stretch(v - 128, 224);
            luma[v] = uint8_t(y < 0 ? 0 : y > 255 ? 255 : y);
            chroma[v] = uint8_t(c < 0 ? 0 : c > 255 ? 255 : c);
        }
    }
};
constexpr FullRange kFullRange;

void Stretch(const uint8_t* in, uint8_t* out, size_t n, const uint8_t (&table)[256]) {
    for (size_t i = 0; i < n; ++i)
        out[i] = table[in[i]];
}

// libjpeg's errors longjmp back into this frame, so nothing with a
// destructor lives here: `band` (8 lines of all three planes) is the caller's.
size_t Encode(const PlanarImage& image, uint8_t* out, size_t capacity, int quality,
              bool restartEveryRow, uint8_t* band) {
    jpeg_compress_struct cinfo;
    ErrorManager err;
    BufferDestination dest;
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = OnError;
    err.pub.emit_message = SilenceMessages;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        return 0;
    }
    jpeg_create_compress(&cinfo);
    dest.pub.init_destination = InitDestination;
    dest.pub.empty_output_buffer = EmptyOutput;
    dest.pub.term_destination = TermDestination;
    dest.pub.next_output_byte = out;
    dest.pub.free_in_buffer = capacity;
    dest.buffer = out;
    dest.capacity = capacity;
    dest.overflow = false;
    cinfo.dest = &dest.pub;

    cinfo.image_width = image.width;
    cinfo.image_height = image.height;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_YCbCr;
    jpeg_set_defaults(&cinfo);
    jpeg_set_colorspace(&cinfo, JCS_YCbCr);
    jpeg_set_quality(&cinfo, quality, TRUE);
    cinfo.raw_data_in = TRUE;
    cinfo.dct_method = JDCT_ISLOW;
    cinfo.comp_info[0].h_samp_factor = 2;
    cinfo.comp_info[0].v_samp_factor = 1;
    for (int c = 1; c < 3; ++c) {
        cinfo.comp_info[c].h_samp_factor = 1;
        cinfo.comp_info[c].v_samp_factor = 1;
    }
    if (restartEveryRow)
        cinfo.restart_in_rows = 1;
    jpeg_start_compress(&cinfo, TRUE);

    // One row of MCUs at a time, stretched to full range into `band`.
    JSAMPROW rowsY[DCTSIZE], rowsCb[DCTSIZE], rowsCr[DCTSIZE];
    JSAMPARRAY planes[3] = {rowsY, rowsCb, rowsCr};
    const uint32_t cw = image.width / 2;
    for (uint32_t i = 0; i < DCTSIZE; ++i) {
        rowsY[i] = band + size_t(i) * image.width * 2;
        rowsCb[i] = rowsY[i] + image.width;
        rowsCr[i] = rowsCb[i] + cw;
    }
    while (cinfo.next_scanline < cinfo.image_height) {
        const uint32_t line = cinfo.next_scanline;
        for (uint32_t i = 0; i < DCTSIZE; ++i) {
            Stretch(image.y + size_t(line + i) * image.width, rowsY[i], image.width,
                    kFullRange.luma);
            Stretch(image.cb + size_t(line + i) * cw, rowsCb[i], cw, kFullRange.chroma);
            Stretch(image.cr + size_t(line + i) * cw, rowsCr[i], cw, kFullRange.chroma);
        }
        jpeg_write_raw_data(&cinfo, planes, DCTSIZE);
    }
    jpeg_finish_compress(&cinfo);
    const size_t size = capacity - dest.pub.free_in_buffer;
    const bool overflow = dest.overflow;
    jpeg_destroy_compress(&cinfo);
    return overflow ? 0 : size;
}

} // namespace

size_t EncodeJpeg422(const PlanarImage& image, uint8_t* out, size_t capacity, int quality,
                     bool restartEveryRow) {
    if (!image.y || !image.cb || !image.cr || image.width % 16 || image.height % 8 ||
        image.width == 0 || image.height == 0 || !out)
        return 0;
    std::vector<uint8_t> band(size_t(DCTSIZE) * image.width * 2);
    return Encode(image, out, capacity, quality, restartEveryRow, band.data());
}

bool SplitJpegRows(const uint8_t* jpeg, size_t size, JpegRows* out) {
    out->rows.clear();
    // Walk the marker segments up to start of scan.
    size_t p = 2;
    if (size < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8)
        return false;
    for (;;) {
        if (p + 4 > size || jpeg[p] != 0xFF)
            return false;
        const uint8_t marker = jpeg[p + 1];
        const size_t length = size_t(jpeg[p + 2]) << 8 | jpeg[p + 3];
        if (length < 2 || p + 2 + length > size)
            return false;
        p += 2 + length;
        if (marker == 0xDA)
            break;
    }
    out->headerSize = p;
    // Entropy-coded data: 0xFF is stuffed as FF 00, so FF Dn is a restart
    // marker and FF D9 the end.
    size_t start = p;
    for (size_t i = p; i + 1 < size; ++i) {
        if (jpeg[i] != 0xFF || jpeg[i + 1] == 0x00)
            continue;
        const uint8_t marker = jpeg[i + 1];
        if (marker >= 0xD0 && marker <= 0xD7) {
            out->rows.push_back({start, i - start});
            start = i + 2;
            ++i;
        } else if (marker == 0xD9) {
            out->rows.push_back({start, i - start});
            return true;
        } else {
            return false;
        }
    }
    return false;
}

bool DecodeJpegLuma(const uint8_t* data, size_t size, DecodedLuma* out) {
    if (!data || size == 0 || !out)
        return false;
    jpeg_decompress_struct cinfo;
    ErrorManager err;
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = OnError;
    err.pub.emit_message = SilenceMessages;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
    if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    cinfo.out_color_space = JCS_GRAYSCALE;
    jpeg_start_decompress(&cinfo);
    out->width = cinfo.output_width;
    out->height = cinfo.output_height;
    out->luma.assign(size_t(out->width) * out->height, 0);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = out->luma.data() + size_t(cinfo.output_scanline) * out->width;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

} // namespace m4350::sim
