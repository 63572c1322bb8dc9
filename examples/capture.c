/* capture: brings the cameras up, opens the first one, takes one frame,
 * converts it to RGB and saves it as a binary PPM picture.
 *
 *   capture [--resources DIR] [FILE.ppm]
 *
 * Plain C99 against the installed library: build it with
 *   cc -std=c99 capture.c $(pkg-config --cflags --libs vocam) -o capture
 * or with CMake's find_package(VoCamSDK) (see CMakeLists.txt here).
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vocam/vocamapi.h>

/* Bytes of one converted row: a monochrome picture comes out of the grey
 * path, whose rows are padded to 4 bytes. */
static size_t row_bytes(uint32_t width, int padded) {
    return padded ? (((size_t)width + 1) * 3) & ~(size_t)3 : (size_t)width * 3;
}

static int save_ppm(const char *path, const uint8_t *rgb, uint32_t width, uint32_t height,
                    size_t stride) {
    FILE *file = fopen(path, "wb");
    uint32_t y;
    int ok;
    if (file == NULL) return 0;
    ok = fprintf(file, "P6\n%u %u\n255\n", (unsigned)width, (unsigned)height) > 0;
    for (y = 0; ok && y < height; ++y) ok = fwrite(rgb + y * stride, 3, width, file) == width;
    return fclose(file) == 0 && ok;
}

/* The next frame of the running stream, held until released. */
static int next_frame(_vocam *camera) {
    int attempt, index = -22;
    for (attempt = 0; attempt < 100 && index == -22; ++attempt)
        index = vocam_wait_for_capture_to_buffer(camera); /* -22: taken for the next read */
    return index;
}

int main(int argc, char **argv) {
    const char *resources = NULL, *path = "capture.ppm";
    _vocam *camera = NULL;
    _VOCAM_IMAGE_FORMAT format;
    conversion_params params;
    uint8_t *rgb = NULL;
    size_t stride;
    int i, index, status = 1, colour;

    for (i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            printf("usage: %s [--resources DIR] [FILE.ppm]\n", argv[0]);
            return 0;
        } else if (strcmp(argv[i], "--resources") == 0 && i + 1 < argc) {
            resources = argv[++i];
        } else if (argv[i][0] == '-') {
            fprintf(stderr, "%s: unknown option %s (--help)\n", argv[0], argv[i]);
            return 2;
        } else {
            path = argv[i];
        }
    }

    if (vocam_init(resources) < 0 || vocam_camera_open_any(&camera) < 0 || camera == NULL) {
        fprintf(stderr, "%s: no camera could be brought up and opened\n", argv[0]);
        return 1;
    }
    memset(&format, 0, sizeof format);
    format.Size = sizeof format;
    colour = vocam_is_color(camera);
    memset(&params, 0, sizeof params);
    params.size = sizeof params;
    params.demosaicMethod = colour ? 3 : 0; /* gradient-corrected, or grey */
    params.correctionMatrix = colour ? 14 : 0;
    params.saturation = 1.0f;
    params.gainOrGain0 = 1.0f;

    if (vocam_get_image_format(camera, &format) == 0 && vocam_enable_streaming(camera) == 0) {
        if (vocam_start_streaming(camera) >= 0) {
            stride = row_bytes(format.Width, params.demosaicMethod == 0);
            rgb = malloc(stride * format.Height);
            index = rgb != NULL ? next_frame(camera) : -12;
            if (index >= 0) {
                if (vocam_convert_frame_to_rgb(camera, rgb, vocam_get_buffer_address(camera, index),
                                               &format, &params) == 0 &&
                    save_ppm(path, rgb, format.Width, format.Height, stride)) {
                    printf("saved a %u x %u frame to %s\n", (unsigned)format.Width,
                           (unsigned)format.Height, path);
                    status = 0;
                }
                vocam_release_buffer(camera, index);
            }
            vocam_stop_streaming(camera);
        }
        vocam_disable_streaming(camera);
    }
    if (status != 0) fprintf(stderr, "%s: no frame could be captured and saved\n", argv[0]);
    free(rgb);
    vocam_camera_close(&camera);
    return status;
}
