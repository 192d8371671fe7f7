// Kept apart from the Windows-type headers: jpeglib.h defines INT32 its own way.
#include "jpeg_frame.h"

#include <cstdio>
#include <csetjmp>

#include <jpeglib.h>

namespace m4350::cap {

namespace {

struct JpegError {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
};

} // namespace

bool DecodeJpegArgb(const uint8_t* data, size_t size, uint32_t width, uint32_t height,
                    std::vector<uint8_t>* argb) {
    jpeg_decompress_struct cinfo;
    JpegError error;
    cinfo.err = jpeg_std_error(&error.mgr);
    error.mgr.error_exit = [](j_common_ptr c) {
        std::longjmp(reinterpret_cast<JpegError*>(c->err)->jump, 1);
    };
    if (setjmp(error.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
    if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK || cinfo.image_width != width ||
        cinfo.image_height != height) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    cinfo.out_color_space = JCS_EXT_BGRA;
    jpeg_start_decompress(&cinfo);
    argb->resize(size_t(width) * height * 4);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = argb->data() + size_t(cinfo.output_scanline) * width * 4;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

} // namespace m4350::cap
