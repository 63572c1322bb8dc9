/* VoCamSDK: cameras built around an FX2 USB controller and an FPGA.
 *
 * Flat C interface. Every call returns a signed status: 0 (or a count, index
 * or slot) on success, a negative errno-style number or a negative platform
 * code on failure. Failures also write one line to standard error.
 */
#ifndef VOCAMAPI_H
#define VOCAMAPI_H

#include <stddef.h>
#include <stdint.h>

#include "vocamversion.h"

#if defined(__GNUC__)
#define VOCAM_API __attribute__((visibility("default")))
#else
#define VOCAM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Status codes ----
 *
 * Every negative result of the library is one of these. The VOCAM_USB_*
 * codes come from the USB layer and pass through unchanged; they are negative
 * as signed 32-bit numbers. vocam_strerror gives a short text for each. */
enum {
    VOCAM_OK = 0,
    VOCAM_EFAIL = -1,          /* failed, or not allowed in this state */
    VOCAM_ENOMATCH = -3,       /* the USB devices could not be matched */
    VOCAM_EIO = -5,            /* a camera value could not be read or written */
    VOCAM_ENODEVICE = -10,     /* the USB layer gave no object for a device */
    VOCAM_ENOMEM = -12,        /* out of memory */
    VOCAM_EUNSUPPORTED = -14,  /* model data missing, or a conversion not supported */
    VOCAM_EINVAL = -22,        /* invalid argument, or busy */
    VOCAM_ENOSLOT = -28,       /* no free callback slot */
    VOCAM_EEXPOSURE = -35,     /* region too dark or too bright to measure */
    VOCAM_EGAVEUP = -60,       /* a search gave up */
    VOCAM_ENOTIMPL = -78,      /* not implemented, or wrong tone flags */
    VOCAM_ENODATA = -96,       /* no data: the stream is not running or has ended */
    VOCAM_ENOINTERFACE = -100, /* the USB layer gave no object for an interface */
    VOCAM_ETIMEDOUT = -110,    /* a bounded wait ran out */
    VOCAM_EINTERNAL = -1000    /* the library failed in a way it did not expect */
};

#define VOCAM_USB_ERROR ((int32_t)0xE00002BCu) /* unclassified USB failure */
#define VOCAM_USB_NO_MEMORY ((int32_t)0xE00002BDu)
#define VOCAM_USB_NO_RESOURCES ((int32_t)0xE00002BEu)
#define VOCAM_USB_NO_DEVICE ((int32_t)0xE00002C0u)      /* the device left the bus */
#define VOCAM_USB_NOT_PRIVILEGED ((int32_t)0xE00002C1u) /* no permission on the device file */
#define VOCAM_USB_BAD_ARGUMENT ((int32_t)0xE00002C2u)
#define VOCAM_USB_EXCLUSIVE_ACCESS ((int32_t)0xE00002C5u) /* another client holds the device */
#define VOCAM_USB_UNSUPPORTED ((int32_t)0xE00002C7u)
#define VOCAM_USB_IO_ERROR ((int32_t)0xE00002CAu)
#define VOCAM_USB_NOT_OPEN ((int32_t)0xE00002CDu)
#define VOCAM_USB_BUSY ((int32_t)0xE00002D5u)
#define VOCAM_USB_TIMEOUT ((int32_t)0xE00002D6u)
#define VOCAM_USB_OVERRUN ((int32_t)0xE00002E8u)      /* the device sent more than asked */
#define VOCAM_USB_DEVICE_ERROR ((int32_t)0xE00002E9u) /* e.g. a malformed descriptor */
#define VOCAM_USB_ABORTED ((int32_t)0xE00002EBu)
#define VOCAM_USB_NOT_RESPONDING ((int32_t)0xE00002EDu)
#define VOCAM_USB_INTERRUPTED ((int32_t)0xE00002EEu)
#define VOCAM_USB_NOT_FOUND ((int32_t)0xE00002F0u)
#define VOCAM_USB_PIPE_STALLED ((int32_t)0xE000404Fu)

/* A short English text for any result: "success" for 0 and above, "unknown
 * error" for a code the library never returns. The text is static. */
VOCAM_API const char *vocam_strerror(int code);

/* The version of the library loaded at run time, as VOCAM_VERSION encodes
 * it; an application built against newer headers can compare the two. */
VOCAM_API uint32_t vocam_library_version(void);

/* One opened camera. Allocated by the open calls, freed by vocam_camera_close. */
typedef struct _vocam _vocam;

/* Identity of a camera: filled by vocam_get_version and by enumeration, and
 * taken as the request of vocam_camera_open. */
typedef struct vocam_version {
    uint32_t zero;             /* always 0 */
    uint32_t product_id;       /* USB idProduct */
    uint32_t serial_number;    /* 0 in an open request means "any" */
    uint32_t release_number;   /* USB bcdDevice */
    uint32_t firmware_version; /* firmware in the low 16 bits, FPGA in the high 16 */
    uint32_t high_speed;       /* 1 when the camera runs at USB high speed */
} vocam_version;

/* Folder below which firmware and FPGA images are looked up. */
VOCAM_API extern char *RESOURCE_FILE_ROOT;

/* Brings every attached camera up once per process: FX2 firmware, then FPGA
 * configuration. `resource_root` replaces the resource root on every call.
 * NULL means the installed data folder (share/vocam/files), found beside the
 * library wherever the installed tree was moved, else where it was installed;
 * on the simulated bus the simulated cameras' folder (share/vocam/simulated).
 * A camera whose files are missing or damaged does not come up, and start-up
 * still answers 0: vocam_get_camera_states tells. */
VOCAM_API int vocam_init(const char *resource_root);

/* Lists the attached cameras. *count is the capacity of records on entry and
 * the number of cameras found on return (also beyond the capacity). */
VOCAM_API int vocam_enum_cameras(vocam_version *records, uint32_t *count);

/* Lists the FX2 controllers still running their boot code (waiting for
 * firmware): product, release and speed of each, serial 0. *count as for
 * vocam_enum_cameras. Nothing is opened. */
VOCAM_API int vocam_enum_boot_controllers(vocam_version *records, uint32_t *count);

/* How far bring-up got with each device on the bus, so that a tool can tell a
 * camera that failed to come up from no camera at all. */
enum {
    VOCAM_STATE_NO_FIRMWARE = 0, /* the controller still runs its boot code */
    VOCAM_STATE_NO_FPGA = 1,     /* the firmware runs, the FPGA is not configured */
    VOCAM_STATE_READY = 2,       /* came up fully: it enumerates and streams */
    VOCAM_STATE_UNREACHABLE = 3  /* could not be opened (held by another client,
                                  * or no permission): its state is unknown */
};
typedef struct vocam_camera_state {
    uint16_t product_id; /* as the device reports it now */
    uint16_t release_number;
    uint32_t serial_number; /* 0 while it cannot be read */
    int32_t state;          /* VOCAM_STATE_* */
} vocam_camera_state;
/* Lists every controller and camera of the model table on the bus with its
 * state. *count is the capacity of records on entry and the number of
 * devices on return (also beyond the capacity). A controller waiting for
 * firmware is not opened. The number of devices, -22 for a NULL count, or
 * the failure of the USB layer. */
VOCAM_API int vocam_get_camera_states(vocam_camera_state *records, uint32_t *count);

/* Opens the camera of product wanted->product_id and serial
 * wanted->serial_number (0: any). A result of 0 with *handle_out NULL means
 * that no attached camera matched and could be opened: test the handle, not
 * only the result. A camera another client holds is waited for briefly
 * (five tries, 100 ms apart); one that cannot stream (no streaming
 * alternate setting with a bulk IN endpoint) or that reports an impossible
 * sensor, subsampling or data-rate list is skipped with one line each. */
VOCAM_API int vocam_camera_open(_vocam **handle_out, vocam_version *wanted);
VOCAM_API int vocam_camera_open_by_pid(_vocam **handle_out, uint32_t product_id);
/* Opens a camera no other client holds, trying each camera found in turn:
 * 0, -1 when there is none; 0 with *handle_out NULL when every camera found
 * was taken by another caller before it could be opened. */
VOCAM_API int vocam_camera_open_any(_vocam **handle_out);
/* Closes and frees the camera; *handle_ref becomes NULL. Always 0. A stream
 * still running is stopped, waits blocked on other threads return -96, and
 * the streaming and conversion calls still running on other threads on this
 * handle are waited for (buffers still held are let go). No call may begin on
 * the handle once the close has returned. */
VOCAM_API int vocam_camera_close(_vocam **handle_ref);

/* 1 when the camera's model may be subsampled. */
VOCAM_API int vocam_supports_subsampling(_vocam *handle);

/* Fills the six words from the handle; always 0. */
VOCAM_API int vocam_get_version(_vocam *handle, vocam_version *out);

/* Copies the USB product name; -22 when dst cannot hold it and its terminator. */
VOCAM_API int vocam_get_model_name(_vocam *handle, char *dst, int dst_size);

/* 1 for a Bayer colour sensor, 0 for monochrome. */
VOCAM_API int vocam_is_color(_vocam *handle);

/* ---- Video format, image format, data rates and notifications ---- */

/* The sensor window. Sizes are in sensor pixels, before subsampling. */
typedef struct _vocam_frame_format {
    uint32_t xOffset;
    uint32_t yOffset;
    uint32_t width;
    uint32_t height;
    uint32_t pixelFormat; /* returned as 0; ignored on set */
    uint16_t subSampleX;  /* 1: none */
    uint16_t reservedX;
    uint16_t subSampleY;
    uint16_t reservedY;
} _vocam_frame_format;

/* Layout of the frames a camera delivers. */
typedef struct _VOCAM_IMAGE_FORMAT {
    uint32_t Size;  /* 52 */
    uint32_t Width; /* delivered pixels, after subsampling */
    uint32_t Height;
    uint32_t PixelFormat; /* 0: 8 bits, 1: 16 bits, 2: 24-bit RGB */
    uint32_t ImageSize;   /* bytes per raw frame (for the converted picture see
                           * vocam_get_rgb_frame_size) */
    /* [0]: sensor layout flags (VOCAM_LAYOUT_*); [4]: 0 for a progressive
     * frame. The others are left as the caller passed them. */
    uint32_t VocamReserved[8];
} _VOCAM_IMAGE_FORMAT;

#define VOCAM_LAYOUT_MONO 0x1u        /* no colour mosaic */
#define VOCAM_LAYOUT_LSB_FIRST 0x2u   /* 16-bit samples stored low byte first */
#define VOCAM_LAYOUT_BLUE_ROW 0x4u    /* row 0 holds blue sites */
#define VOCAM_LAYOUT_GREEN_FIRST 0x8u /* pixel 0 of row 0 is green */

/* Reads the current window; always 0. */
VOCAM_API int vocam_get_video_format(_vocam *handle, _vocam_frame_format *out);
/* Writes the window and reloads the data rates: 0, -22 for a refused window,
 * or the failing transfer's code. Streaming must be re-enabled afterwards. */
VOCAM_API int vocam_set_video_format(_vocam *handle, const _vocam_frame_format *in);
/* 0, or -1 for a camera whose colour layout has no description. */
VOCAM_API int vocam_get_image_format(_vocam *handle, _VOCAM_IMAGE_FORMAT *out);

/* Data rates the camera offers (kilopixels per second). */
VOCAM_API int vocam_count_available_data_rates(_vocam *handle);
/* Copies at most `capacity` rates and returns how many it copied. */
VOCAM_API int vocam_enum_available_data_rates(_vocam *handle, uint32_t *rates, int capacity);
VOCAM_API int vocam_set_data_rate(_vocam *handle, uint32_t rate);
VOCAM_API int vocam_get_data_rate(_vocam *handle, uint32_t *rate);

/* A notification a client registers. Slots are kept for the client; the
 * library does not call them. */
typedef void (*vocam_callback)(_vocam *handle, uint32_t type, void *context);
/* The slot taken (0 to 3), or -28 when every slot is in use; `type` must not
 * be 0 (-22). */
VOCAM_API int vocam_enable_callback_notification(_vocam *handle, uint32_t type,
                                                 vocam_callback callback, void *context);
/* 0, or -22 for a slot that is not in use. */
VOCAM_API int vocam_disable_callback_notification(_vocam *handle, int slot);

/* How to turn a raw frame into a picture. The first 12 bytes (size,
 * demosaicMethod, correctionMatrix) form the short record; size is 12 or 44. */
typedef struct conversion_params {
    uint32_t size;             /* 12 or 44 */
    uint32_t demosaicMethod;   /* 0 none, 1 nearest, 2 edge-detecting, 3 gradient-corrected,
                                  8 2x2-block, 9 four colour planes */
    uint32_t correctionMatrix; /* 0 none, 1-13 model matrices, 14 identity, 15-16 custom */
    uint32_t flipX;
    uint32_t flipY;
    float hue;        /* degrees */
    float saturation; /* both chroma axes */
    /* 0: gainOrGain0 is the Y gain and the next two the white balance U and V
     * times 100; otherwise the three are digital gains of channels 0, 1, 2. */
    uint32_t useColorGains;
    float gainOrGain0;
    float whiteBalanceUOrGain1;
    float whiteBalanceVOrGain2;
} conversion_params;

/* Converts a raw frame of the running stream into a 24-bit picture with the
 * colour engine: three bytes a pixel, red, green, blue, top row first (unless
 * flipped). Rows are 3 x width bytes, except for grey pictures (a monochrome
 * frame, or demosaic method 0) not woven from two fields, whose rows are
 * padded to a multiple of 4 bytes; the pad bytes are left as they were.
 * vocam_get_rgb_frame_size gives the stride and the size of `dst`.
 * `image_format` (a _VOCAM_IMAGE_FORMAT, usually from vocam_get_image_format)
 * is required: the engine knows no frame size of its own, so NULL gives -22.
 * `conversion_params` (a 12- or 44-byte record) may be NULL: the engine's own
 * settings (the properties 64 to 74) are used. `dst` and `src` must not be
 * NULL. `src` is a ring buffer (vocam_get_buffer_address) or a frame of the
 * caller's own. A ring buffer must hold the frame the image format describes,
 * Width x Height bytes (twice that for PixelFormat 1): a format kept from
 * before a change of window is refused with -22 before a pixel is read. Other
 * memory is taken to hold that frame, and its size is the caller's to answer
 * for (vocam_convert_raw_to_rgb checks it). 0, or -22 outside a running
 * stream, for a record of the wrong size or a frame size the engine does not
 * convert (width and height even and at least 4), or -14 for a combination
 * no kernel serves. */
VOCAM_API int vocam_convert_frame_to_rgb(_vocam *handle, uint8_t *dst, const uint8_t *src,
                                         const void *image_format, const void *conversion_params);

/* The layout of the picture vocam_convert_frame_to_rgb writes for these two
 * records: the row stride in bytes (may be NULL) and the bytes `dst` must hold,
 * stride x height, padding included. `image_format` NULL means the camera's
 * current image format; `conversion_params` NULL the engine's own demosaic
 * method. 0; -22 for a missing handle or `bytes`, a record of the wrong size or
 * a frame size the engine does not convert; -14 for a pixel format or a
 * combination of method and frame no kernel serves. Needs no running stream. */
VOCAM_API int vocam_get_rgb_frame_size(_vocam *handle, const void *image_format,
                                       const void *conversion_params, uint32_t *stride,
                                       size_t *bytes);

/* Threads that vocam_convert_frame_to_rgb may use for one large frame, which
 * it then converts in row bands in parallel: 0 restores the default (the
 * cores available, at most 8), 1 converts on the calling thread alone, at
 * most 8. Every count gives the same picture. 0, -22 bad handle or count
 * above 8, -12 out of memory, or the refusal of creating the colour engine. */
VOCAM_API int vocam_set_conversion_threads(_vocam *handle, uint32_t threads);

/* vocam_convert_frame_to_rgb with the picture's depth chosen: `bits` 24 gives
 * the same picture, 48 three 16-bit samples a pixel (red, green, blue, in the
 * host's byte order, rows 6 x width bytes), which keeps the depth of a camera
 * that delivers 16-bit samples (PixelFormat 1; an 8-bit frame gives -14).
 * `bits` 32 gives four bytes a pixel, rows 4 x width bytes and never padded:
 * red, green and blue as the 24-bit picture has them, then a fourth byte that
 * carries no colour: the conversion leaves it as `dst` held it (a grey picture
 * of 8-bit samples not woven from two fields gets 0), so a caller that needs
 * a fixed value there sets it once in a buffer it keeps. (Method 9 on 8-bit
 * samples is the exception: at 32 bits it keeps four colour planes in the
 * four bytes, which only a colour matrix with a fourth column folds into red,
 * green and blue.) The same rules and results as
 * vocam_convert_frame_to_rgb otherwise, and -22 for `bits` other than 24, 32
 * and 48. */
VOCAM_API int vocam_convert_frame_to_rgb_bits(_vocam *handle, uint8_t *dst, const uint8_t *src,
                                              const void *image_format,
                                              const void *conversion_params, uint32_t bits);

/* Converts a raw frame that belongs to no stream (one read back from a file)
 * with a colour engine of its own: no tone curve, and for the light sources
 * 1 to 13 the general correction, as the camera's own matrices are known only
 * to an open camera. `src_bytes` and `dst_bytes` are what the two buffers
 * hold; a frame shorter than `image_format` says, or a picture buffer smaller
 * than the picture (6 or 4 x width x height bytes for `bits` 48 or 32, the
 * size vocam_get_rgb_frame_size gives for 24), is refused with -22 before
 * anything is read. `threads` as for vocam_set_conversion_threads. 0, -22, -14 or -12
 * as vocam_convert_frame_to_rgb_bits. */
VOCAM_API int vocam_convert_raw_to_rgb(uint8_t *dst, size_t dst_bytes, const uint8_t *src,
                                       size_t src_bytes, const void *image_format,
                                       const void *conversion_params, uint32_t bits,
                                       uint32_t threads);

/* ---- Streaming ----
 *
 * Frames arrive on a thread of the library into a ring of three buffers.
 * Order: enable, start, then wait/release as often as needed, stop, disable.
 * A changed window takes effect at the next enable. Results: -1 not allowed in
 * this state, -12 out of memory, -22 bad argument or no such frame, -78 not
 * implemented, -96 no data (the stream is not running or has ended). */

/* Allocates the ring for the current window. Enable again and disable free
 * the ring, so both are refused (-1, with a line) while a wait's buffer is
 * still held: release every buffer first. A conversion from a held buffer is
 * always safe; one in progress is waited for. */
VOCAM_API int vocam_enable_streaming(_vocam *handle);
VOCAM_API int vocam_disable_streaming(_vocam *handle);
/* Returns once frames flow, or with a negative code when video could not be
 * started. A stream that is ending on its own (a silent or pulled camera) is
 * waited out first. */
VOCAM_API int vocam_start_streaming(_vocam *handle);
/* Returns once the stream thread has ended; every blocked wait returns -96.
 * A read in flight for a frame not due within a second (a long exposure) is
 * cancelled at once. */
VOCAM_API int vocam_stop_streaming(_vocam *handle);
/* Blocks for the newest frame not yet handed out and holds its buffer:
 * the buffer's index, -96 when the stream is not running or ends (a camera
 * that sends no whole frame for its frame period, the exposure plus the
 * readout at the data rate, and 2 s more ends it), -22 while two buffers are
 * held, as the third is then refilled as soon as it is full. Closing the
 * handle from another thread ends the wait with -96. */
VOCAM_API int vocam_wait_for_capture_to_buffer(_vocam *handle);
/* Returns a held buffer to the ring: 0, or -22. */
VOCAM_API int vocam_release_buffer(_vocam *handle, int32_t index);
/* Always 3. */
VOCAM_API int vocam_get_buffer_count(_vocam *handle);
/* NULL for an index outside 0 to 2 or while streaming is disabled. */
VOCAM_API uint8_t *vocam_get_buffer_address(_vocam *handle, int32_t index);
/* Not implemented: -78. */
VOCAM_API int vocam_get_buffer_status(_vocam *handle, int32_t index);
VOCAM_API int vocam_get_buffer_acquired_size(_vocam *handle, int32_t index);
/* Bytes per frame fixed at the last enable (0 before the first). */
VOCAM_API uint32_t vocam_get_video_frame_size(_vocam *handle);

/* Like vocam_wait_for_capture_to_buffer, but gives up after `milliseconds`
 * (0: only looks) and then returns VOCAM_WAIT_TIMED_OUT, a code no other
 * call returns. */
#define VOCAM_WAIT_TIMED_OUT (-110)
VOCAM_API int vocam_wait_for_capture_to_buffer_timeout(_vocam *handle, uint32_t milliseconds);

/* What the library knows of the frame in one ring buffer. Set `size` to
 * sizeof(struct vocam_frame_info) before the call: records may grow, and a
 * size the library does not know is refused. */
typedef struct vocam_frame_info {
    uint32_t size;
    uint32_t bytes;        /* bytes of the frame; 0 while the buffer is being filled */
    uint64_t sequence;     /* 1 for the first whole frame the camera sent after the last
                            * enable; a gap between two frames taken means frames the
                            * caller never saw; 0 while the buffer is being filled */
    uint64_t timestamp_ns; /* when the frame arrived, CLOCK_MONOTONIC nanoseconds */
    uint32_t held;         /* 1 while a wait's caller holds the buffer */
    uint32_t reserved;
} vocam_frame_info;

/* Counts of the stream since the last enable; `size` as above. */
typedef struct vocam_stream_stats {
    uint32_t size;
    uint32_t reserved;
    uint64_t delivered;    /* whole frames that arrived */
    uint64_t taken;        /* frames handed out by the waits */
    uint64_t overwritten;  /* frames read over before any wait took them */
    uint64_t failed_reads; /* reads that ended in an error */
    uint64_t short_frames; /* reads that brought less than a frame */
} vocam_stream_stats;

/* The record of buffer `index` (0 to 2). Only a held buffer keeps its record
 * and its pixels together: the ring refills the others at any time. 0, or -22
 * with nothing written for a null record, a wrong `size`, an index out of
 * range or a handle whose streaming is not enabled. */
VOCAM_API int vocam_get_buffer_info(_vocam *handle, int32_t index, vocam_frame_info *info);
/* 0, or -22 with nothing written as above. The counts stay readable after a
 * stop, until the next enable or a disable. */
VOCAM_API int vocam_get_stream_stats(_vocam *handle, vocam_stream_stats *stats);

/* ---- Properties ----
 *
 * Every tunable of a camera is a numbered property. Register properties live
 * in the camera as a block of four 32-bit words (flags, value, minimum,
 * maximum) whose flags the library passes through unchanged; the tone
 * properties build the tone curve the camera applies; the engine properties
 * tune the colour conversion; the geometry properties are read only.
 * Values marked x100 are the quantity times 100.
 *
 * A register property's value, minimum and maximum are the camera's unsigned
 * 32-bit words carried in an int: read them as (uint32_t), and set a value
 * above INT32_MAX as (int)(uint32_t)value. Exposure is in microseconds, and a
 * cooled camera's maximum of an hour (3600000000) is beyond the largest int:
 * compared as a signed int it would read as -694967296. The float calls below
 * give the true range (an hour is 3600000 ms). */
enum {
    VOCAM_PROP_BRIGHTNESS = 0,            /* x100, -10000 .. 10000 */
    VOCAM_PROP_CONTRAST = 1,              /* x100, 0 .. 10000 */
    VOCAM_PROP_GAMMA = 5,                 /* x100, 1 .. 500 */
    VOCAM_PROP_EXPOSURE = 20,             /* register block 0x04A0 */
    VOCAM_PROP_GAIN = 40,                 /* register block 0x04F0 */
    VOCAM_PROP_GAIN_RED = 41,             /* register block 0x0500 */
    VOCAM_PROP_GAIN_BLUE = 42,            /* register block 0x0530 */
    VOCAM_PROP_GAIN_GREEN1 = 43,          /* register block 0x0510 */
    VOCAM_PROP_GAIN_GREEN2 = 44,          /* register block 0x0520 */
    VOCAM_PROP_DEMOSAIC_METHOD = 64,      /* 0, 1, 2, 8 or 9 */
    VOCAM_PROP_CORRECTION_MATRIX = 65,    /* 0 .. 16 */
    VOCAM_PROP_FLIPPING = 66,             /* bit 0 flip X, bit 1 flip Y */
    VOCAM_PROP_SATURATION = 67,           /* x100 */
    VOCAM_PROP_HUE = 68,                  /* degrees x100 */
    VOCAM_PROP_WHITE_BALANCE_U = 69,      /* x100 */
    VOCAM_PROP_WHITE_BALANCE_V = 70,      /* x100 */
    VOCAM_PROP_DIGITAL_GAIN = 71,         /* x100 */
    VOCAM_PROP_DIGITAL_GAIN_RED = 72,     /* x100 */
    VOCAM_PROP_DIGITAL_GAIN_GREEN = 73,   /* x100 */
    VOCAM_PROP_DIGITAL_GAIN_BLUE = 74,    /* x100 */
    VOCAM_PROP_MAX_WIDTH = 81,            /* read only */
    VOCAM_PROP_MAX_HEIGHT = 82,           /* read only */
    VOCAM_PROP_UNIT_WIDTH = 83,           /* read only */
    VOCAM_PROP_UNIT_HEIGHT = 84,          /* read only */
    VOCAM_PROP_MAX_SUBSAMPLING = 85,      /* read only */
    VOCAM_PROP_TEMPERATURE = 108,         /* register block 0x0690, temperature units */
    VOCAM_PROP_AUTO_EXPOSURE_TARGET = 258 /* register block 0x0640 */
};

/* Flags of the tone properties. */
#define VOCAM_PROP_FLAG_TONE 0x80000000u
/* Temperature block flags: control fitted (read only) and control on. The
 * same two bits of the fan register say a fan is fitted and runs. */
#define VOCAM_PROP_FLAG_PRESENT 0x80000000u
#define VOCAM_PROP_FLAG_ON 0x00008000u
/* Exposure block flags (VOCAM_PROP_EXPOSURE): the camera offers automatic
 * exposure (read only), and automatic exposure on. The camera keeps the
 * second only where it has the first; the library passes both through. */
#define VOCAM_PROP_FLAG_AUTO_AVAILABLE 0x40000000u
#define VOCAM_PROP_FLAG_AUTO 0x00004000u

/* A register property block as it lies in the camera's register space. */
typedef struct vocam_prop {
    uint32_t flags;
    uint32_t value;
    uint32_t min;
    uint32_t max;
} vocam_prop;

/* Reads a property; value and flags are required and set to 0 first. */
VOCAM_API int vocam_property_get(_vocam *handle, uint32_t id, int *value, uint32_t *flags);
/* Writes a property. Demosaic method and correction matrix answer 1 when the
 * value was accepted and 0 when it was refused; the rest answer a status. */
VOCAM_API int vocam_property_set(_vocam *handle, uint32_t id, int value, uint32_t flags);
/* Reads a property with its range; min and max may be NULL. The geometry
 * properties (81 to 85) have no range and are refused. The temperature is
 * read on every camera, as its block stands: only where the flags carry
 * VOCAM_PROP_FLAG_PRESENT does vocam_property_set take a target; elsewhere
 * the set is refused with -22. */
VOCAM_API int vocam_property_get_range(_vocam *handle, uint32_t id, int *min, int *max, int *value,
                                       uint32_t *flags);

/* Temperature register units: 1000 x (degrees Celsius + 273). */
VOCAM_API uint32_t vocam_temp_to_register(float celsius);
VOCAM_API float vocam_register_to_temp(uint32_t register_value);

/* ---- Compatibility property calls ----
 *
 * The property calls with a true (1) or false (0) result, and with values as
 * floats in physical units: gains as factors, exposure in milliseconds,
 * temperature in degrees Celsius. VocamGetProperty gives the flags shifted
 * left by 16 bits and VocamSetProperty shifts them back, so flags read with
 * one pass through the other. Float outputs are written only on success. */
VOCAM_API extern int32_t VocamLastError; /* stays 0: no call records failures */

VOCAM_API int VocamPropertyGetRange(_vocam *handle, uint32_t id, int *min, int *max, int *value,
                                    uint32_t *flags);
VOCAM_API int VocamPropertySet(_vocam *handle, uint32_t id, int value, int flags);
VOCAM_API int VocamPropertyGet(_vocam *handle, uint32_t id, int *value, uint32_t *flags);
VOCAM_API int VocamPropertyRange(_vocam *handle, uint32_t id, float *min, float *max, float *value,
                                 uint32_t *flags);
VOCAM_API int VocamSetProperty(_vocam *handle, uint32_t id, float value, int flags);
VOCAM_API int VocamGetProperty(_vocam *handle, uint32_t id, float *value, uint32_t *flags);
/* Integer property value to float and back, per property. */
VOCAM_API float ConvertPropToFloat(uint32_t id, int value);
VOCAM_API uint32_t ConvertPropToLong(uint32_t id, float value);

/* Where the library's lines go. Every line the library writes is passed
 * whole, with its trailing newline where it has one, and its kind to the
 * handler set here: VOCAM_LOG_ERROR for failures ("error: ..." lines among
 * them), VOCAM_LOG_INFO for information (bring-up, open and format lines),
 * VOCAM_LOG_TRACE for the white balance's trace. It is called from whichever
 * thread wrote the line; calls to the handler never overlap, so it needs no
 * locking of its own. Without a handler (the default, or after passing NULL)
 * errors and information go to standard error and the trace to standard
 * output.
 * Once this call returns, no thread is still inside the handler it replaced.
 * Lines the handler itself causes the library to write go to the default
 * streams. */
enum { VOCAM_LOG_ERROR = 0, VOCAM_LOG_TRACE = 1, VOCAM_LOG_INFO = 2 };
typedef void (*vocam_log_handler)(int kind, const char *line, void *context);
VOCAM_API void vocam_set_log_handler(vocam_log_handler handler, void *context);

/* ---- Auto algorithms ----
 *
 * One-shot corrections measured on one raw frame of the stream (as the wait
 * call hands it out) over a region of interest in delivered pixels. A ring
 * buffer is measured as the window it was taken in, also when the window has
 * changed since (a buffer held after a stop): a region beyond that frame is
 * refused with -22, as is a ring buffer of another window given to
 * vocam_autofocus_process. Any other memory is taken to hold a frame of the
 * camera's current window, and its size is the caller's to answer for. */

/* A frame and the region measured in it. */
typedef struct _FrameDesc {
    uint64_t frame_width; /* delivered pixels */
    uint64_t frame_height;
    uint32_t two_bytes_per_pixel; /* 1: each pixel takes two bytes */
    uint32_t sample_second_byte;  /* with two bytes: the second byte is the 8-bit value */
    uint32_t field_ordered;       /* 1: all even rows first, then all odd rows */
    uint64_t roi_x;
    uint64_t roi_y;
    uint64_t roi_width;
    uint64_t roi_height;
} _FrameDesc;

/* Describes the handle's current frame and the region x, y, width, height,
 * kept `border` pixels away from the frame's edges: 0, -22 for a region
 * outside the frame (or empty once the border is taken off), -78 for a pixel
 * format the statistics do not read. `ignored` is not used. */
VOCAM_API int fill_FrameDesc(_vocam *handle, int ignored, _FrameDesc *fd, int x, int y, int width,
                             int height, int border);
/* Adds up the four positions of every whole 2x2 cell of the region: [0] even
 * row, even column, [1] even row, odd column, [2] odd row, even column, [3]
 * odd row, odd column, counted from the region's corner. The sums wrap at 32
 * bits. 0, or -22 (sums untouched) for a null argument or a region that the
 * description does not hold. `ignored` is not used. */
VOCAM_API int BayerOrMonoComputeSums(const _FrameDesc *fd, const uint8_t *frame, uint32_t ignored,
                                     uint32_t sums[4]);

/* White balance of a region the caller asserts to be neutral, or to show the
 * given red/green and blue/green ratios. Region coordinates and sizes are
 * even. Results: -22 bad region, -35 region too dark or too bright.
 *
 * The step moves analogue and digital gains 90 % of the way to balance and is
 * meant to be repeated on later frames: 1 applied, 0 nothing to change or a
 * gain could not be read or written. */
VOCAM_API int vocam_whitebalance_step(_vocam *handle, const uint8_t *frame, int x, int y, int width,
                                      int height);
VOCAM_API int vocam_whitebalance_step_ex(_vocam *handle, const uint8_t *frame, int x, int y,
                                         int width, int height, float target_red_ratio,
                                         float target_blue_ratio);
/* Recomputes the four analogue colour gains in one pass: 0, or -5 when a
 * gain cannot be read or written. */
VOCAM_API int vocam_oneshot_autowhitebalance(_vocam *handle, const uint8_t *frame, int x, int y,
                                             int width, int height);
VOCAM_API int vocam_oneshot_autowhitebalance_ex(_vocam *handle, const uint8_t *frame, int x, int y,
                                                int width, int height, float target_red_ratio,
                                                float target_blue_ratio);
/* Balances in the colour engine only; the camera's gains are not touched. */
VOCAM_API int vocam_digital_whitebalance(_vocam *handle, const uint8_t *frame, int x, int y,
                                         int width, int height);
VOCAM_API int vocam_digital_whitebalance_ex(_vocam *handle, const uint8_t *frame, int x, int y,
                                            int width, int height, float target_red_ratio,
                                            float target_blue_ratio);
/* Digital white balance of the colour engine from a measured colour: 0, -22
 * for a correction matrix setting without a colour pipeline. */
VOCAM_API int AdjustWhiteBalanceForRGBvalues(_vocam *handle, double red, double green, double blue);

/* One correction of exposure, gain or iris towards a mean level `target`
 * (0 to 255) of the region: 0, -22 bad region, -5 the property cannot be
 * read or written. The exposure call's last argument is not used. */
VOCAM_API int vocam_oneshot_autoexposure(_vocam *handle, uint32_t target, const uint8_t *frame,
                                         int x, int y, int width, int height, double ignored);
VOCAM_API int vocam_oneshot_autogain(_vocam *handle, uint32_t target, const uint8_t *frame, int x,
                                     int y, int width, int height);
VOCAM_API int vocam_oneshot_autoiris(_vocam *handle, uint32_t target, const uint8_t *frame, int x,
                                     int y, int width, int height);

/* Frame-driven focus search over a region (focus property 22). Call start
 * once, then process with every new frame while it returns 0; a negative
 * result ends the search: -1 finished (or no usable range, or the lens could
 * not be moved), -60 gave up, -5 the focus position cannot be read. */
VOCAM_API int vocam_autofocus_start(_vocam *handle, int x, int y, int width, int height);
VOCAM_API int vocam_autofocus_process(_vocam *handle, const uint8_t *frame);
/* Sharpness of the region: the mean square of each pixel's difference to its
 * four same-colour neighbours two pixels away. The region must keep two
 * pixels from every edge; -22.0 for a null argument or a region that does
 * not. */
VOCAM_API double vocam_autofocus_calculation(const _FrameDesc *fd, const uint8_t *frame);

#ifdef __cplusplus
}
#endif

#endif /* VOCAMAPI_H */
