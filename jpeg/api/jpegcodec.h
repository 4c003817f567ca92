/*
 * jpegcodec: a JPEG decoder (baseline, extended-sequential 8-bit and
 * progressive Huffman JPEG, with JFIF, JFXX and Adobe segments, comments,
 * thumbnails, regions of interest and reduced-size output) and encoder
 * (baseline or progressive, standard or optimised Huffman tables).
 *
 * Use: clear a JpegJob to zero, call jpeg_init, set the fields the next
 * operation needs, call jpeg_read with an IoType, read the results from the
 * same record, and end with jpeg_free. Every operation returns a JpegStatus:
 * 0 or a small positive value on success, a negative value on failure;
 * jpeg_status_text gives its message.
 *
 *     JpegJob job;
 *     memset(&job, 0, sizeof job);
 *     jpeg_init(&job);
 *     job.file_name = "photo.jpg";
 *     if (jpeg_read(&job, IoReadParamsFile) == JpegSuccess) {
 *       job.out_width = job.jpeg_width;
 *       job.out_height = job.jpeg_height;
 *       job.out_channels = 3;
 *       job.out_color = ColorRgb;
 *       job.out_pixels = malloc(3 * job.jpeg_width * job.jpeg_height);
 *       jpeg_read(&job, IoReadImageFile);
 *     }
 *     jpeg_free(&job);
 *
 * Writing: the caller's image in out_* (as for reading), the JPEG's size,
 * components, colour and sampling in jpeg_*, a quality, and a buffer (or a
 * file name) for the file:
 *
 *     job.out_pixels = rgb;  job.out_width = w;  job.out_height = h;
 *     job.out_channels = 3;  job.out_color = ColorRgb;
 *     job.jpeg_width = w;  job.jpeg_height = h;  job.jpeg_channels = 3;
 *     job.jpeg_color = ColorYcbcr;  job.jpeg_subsampling = Sub420;
 *     job.quality = 90;
 *     job.jpeg_buffer = out;  job.jpeg_buffer_size = out_size;
 *     if (jpeg_write(&job, IoWriteImageBuffer) == JpegSuccess)
 *       fwrite(out, 1, job.jpeg_buffer_size, f);   (the bytes written)
 *
 * A buffer too small gives -28 and nothing past its end is touched; a file
 * whose writing fails is removed (-23).
 *
 * More reads, on a job whose parameters are read (sizes in out_* as above):
 *   - at 1/8 size: out_width = (jpeg_width + 7) / 8, likewise the height,
 *     then jpeg_read(&job, IoReadEighthFile) (IoReadHalf..., IoReadQuarter...);
 *   - a region: properties.roi_left, roi_top, roi_right, roi_bottom (right and
 *     bottom exclusive, 0 for the image's edge), an image of the region's
 *     size, jpeg_read(&job, IoReadImageFile): status 2 when it is written; a
 *     second region of the same data on the same job seeks to it;
 *   - interruptible, with progress: set properties.interrupt_mode = 1 and
 *     call jpeg_read; while it returns 1 (an MCU decoded: properties.roi_bottom
 *     is how far down, in pixels of jpeg_height, the decode has come), set
 *     interrupt_mode = 1 again (each return of 1 clears it) and call again
 *     with the same request; 0 at the end. A call with interrupt_mode 0
 *     resumes the decode and runs it to its end without further returns.
 *
 * If a request is refused, jpeg_status_detail(&job) says which check refused
 * it (for example "out_width must be 1 to 65535, is 0").
 *
 * The caller owns the JpegJob and every buffer it points to; the codec owns
 * what it allocates inside `properties` and the open file, which jpeg_free
 * releases. One JpegJob is used by one thread at a time; separate jobs may
 * be used by separate threads at once.
 *
 * One job serves any number of reads; each gives what it would give on a
 * new job, except that a call of the same type with the same request after
 * status 1 resumes the interrupted decode; a region read of the same data
 * after a region read (or a whole progressive image) seeks through what the
 * earlier read left; the tables of a tables read serve every later read
 * until jpeg_free (an abbreviated image is read whole, at 1/2 to 1/8, in
 * regions, and its parameters too); and an image read after a parameter
 * read of the same data leaves the comment as the parameter read gave it.
 * jpeg_color and jpeg_channels left as a read reported them say nothing of
 * the next data: only values the caller sets are taken as its word.
 *
 * The fault guard: a processor fault inside jpeg_init, jpeg_free, jpeg_read
 * or jpeg_write (a read or write through a bad pointer of the caller's that
 * reaches memory the process may not touch) ends that call with -1
 * "Exception detected" instead of the process. The guard's handlers for
 * SIGSEGV, SIGBUS, SIGFPE and SIGILL are put back in place at every entry,
 * and faults outside the codec go on to the handlers installed before them
 * (a host's own crash handler included). What the guard cannot catch: a
 * buffer that is merely too small but lies in memory the process owns (the
 * neighbouring bytes are overwritten without a fault), so `out_pixels` must
 * hold |out_height| rows of out_width * out_channels + out_pad bytes.
 *
 * The environment variable JPEG_USECPU (a whole number 0 to 6) forces the
 * processor kind whose inner loops the codec uses; 0 selects the portable
 * routines everywhere.
 *
 * This header compiles as C99 and as C++.
 */
#ifndef JPEGCODEC_H
#define JPEGCODEC_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define JPEG_API __attribute__((visibility("default")))
#define JPEG_ALIGN8 __attribute__((aligned(8)))
#else
#define JPEG_API
#define JPEG_ALIGN8
#endif

/* ---- codes ---------------------------------------------------------------- */

/* Colour layouts of the caller's image and of the JPEG data. */
typedef enum ColorCode {
  ColorRgb = 1,         /* bytes red, green, blue */
  ColorBgr = 2,         /* bytes blue, green, red */
  ColorYcbcr = 3,       /* Y, Cb, Cr */
  ColorGray = 4,        /* one luminance byte */
  ColorFourChannel = 5, /* four bytes per pixel */
  ColorYcck = 6,        /* Y, Cb, Cr and K */
  ColorOther = 255      /* not interpreted; channels passed through */
} ColorCode;

/* Sampling factors of the components (first component's, horizontal x vertical). */
typedef enum SubsamplingCode {
  Sub444 = 0,      /* every component 1x1 */
  Sub420 = 1,      /* three components, first 2x2, others 1x1 */
  Sub422 = 2,      /* three components, first 2x1, others 1x1 */
  Sub420Alpha = 3, /* four components, first and fourth 2x2, others 1x1 */
  Sub422Alpha = 4, /* four components, first and fourth 2x1, others 1x1 */
  SubOther = 255
} SubsamplingCode;

/* What an operation reads or writes. Even values use the file `file_name`,
 * odd values the memory buffer `jpeg_buffer`. */
typedef enum IoType {
  IoReadParamsFile = 0, /* size, channels, colour, subsampling, thumbnail size, JFIF, comment */
  IoReadParamsBuffer = 1,
  IoReadImageFile = 2, /* the whole image into out_pixels */
  IoReadImageBuffer = 3,
  IoReadTablesFile = 4, /* quantization and Huffman tables only */
  IoReadTablesBuffer = 5,
  IoReadAbbreviatedFile = 6, /* an image that relies on tables read earlier */
  IoReadAbbreviatedBuffer = 7,
  IoWriteImageFile = 8,
  IoWriteImageBuffer = 9,
  IoWriteTablesFile = 10,
  IoWriteTablesBuffer = 11,
  IoWriteDataFile = 12,
  IoWriteDataBuffer = 13,
  IoReadHalfFile = 14, /* the whole image at 1/2 size */
  IoReadHalfBuffer = 15,
  IoReadQuarterFile = 16, /* at 1/4 size */
  IoReadQuarterBuffer = 17,
  IoReadEighthFile = 18, /* at 1/8 size */
  IoReadEighthBuffer = 19,
  IoReadThumbnailFile = 20, /* the JFIF thumbnail into out_pixels */
  IoReadThumbnailBuffer = 21
} IoType;

/* Results. jpeg_status_text gives each one's message. */
typedef int32_t JpegStatus;
enum {
  JpegRoiSuccess = 2,       /* "ROI Success" */
  JpegInterruptSuccess = 1, /* "Interrupt Success" */
  JpegSuccess = 0,          /* "Success" */
  JpegExceptionDetected = -1,
  JpegInvalidEncoder = -2,
  JpegUnsupportedSubsampling = -3,
  JpegUnsupportedBytesPerPixel = -4,
  JpegMemoryError = -5,
  JpegBadHuffmanTable = -6,
  JpegBadQuantizationTable = -7,
  JpegInvalidProperties = -8,
  JpegCloseFileError = -9,
  JpegInvalidFileName = -10,
  JpegEofError = -11,
  JpegNotSupported = -12,
  JpegNotJpeg = -13,
  JpegCompError = -14,
  JpegSofError = -15,
  JpegDnlError = -16,
  JpegNoHuffmanTable = -17,
  JpegNoQuantizationTable = -18,
  JpegNoFrame = -19,
  JpegMultipleFrames = -20,
  JpegDataError = -21,
  JpegNoImage = -22,
  JpegFileError = -23,
  JpegInternalError = -24,
  JpegBadRstMarker = -25,
  JpegThumbnailTooSmall = -26,
  JpegThumbnailWrongColor = -27,
  JpegOutputTooSmall = -28,
  JpegUnsupportedFrame = -29,
  JpegCommentAccessError = -30,
  JpegReserved = -99
};

/* ---- decoder records (the codec's working state; callers read, not write) -- */

struct RoutineTable;
struct RestartIndex;

/* One quantization table: 64 values in natural order prepared for the
 * transform family, then 16 spare zeros. `values` points at `storage`. */
typedef struct QuantTable {
  int32_t precision; /* Pq: 0 = 8-bit values, other = 16-bit */
  int16_t* values;
  int16_t storage[80] JPEG_ALIGN8;
} QuantTable;

/* A Huffman decoding table built from one DHT table (T.81 Annex C).
 * min_code, max_code and val_ptr are indexed by code length. lookahead
 * resolves the code that starts with the next 9 bits in one step: bits 8-11
 * of an entry are the code's length (0: no code of 9 bits or fewer starts
 * there), bits 4-7 and 12-15 the symbol's high and low four bits; when the
 * code and the symbol's magnitude bits fit in the 9 bits together, bits 0-3
 * are their length and bits 16-31 the extended value they make (else 0). */
#define JPEG_HUFF_LOOKAHEAD_BITS 9
typedef struct HuffDecodeTable {
  int32_t table_class; /* 0 DC, 1 AC */
  int32_t table_id;    /* 0..3 */
  uint32_t lookahead[1 << JPEG_HUFF_LOOKAHEAD_BITS];
  uint16_t values[257];
  uint16_t min_code[17];
  int16_t max_code[18]; /* -1: no code of that length; [17] is always -1 */
  uint16_t val_ptr[17];
  /* Set anew (never 0) each time the table is built: what was derived from
   * an earlier build is known to be stale. */
  uint32_t generation;
} HuffDecodeTable;

typedef struct FrameComponent {
  int32_t id;          /* Ci */
  int32_t h;           /* Hi */
  int32_t v;           /* Vi */
  int32_t quant_index; /* Tqi */
} FrameComponent;

typedef struct FrameHeader {
  int32_t precision;
  int32_t frame_width;
  int32_t frame_height;
  int32_t mcu_height_px;
  int32_t mcu_width_px;
  int32_t max_h;
  int32_t max_v;
  int32_t component_count;
  int32_t frame_mcus_per_row;
  int32_t frame_mcu_count;
  FrameComponent* components; /* room for 4 */
} FrameHeader;

typedef struct ScanComponent {
  int32_t frame_index;
  int32_t h;
  int32_t v;
  HuffDecodeTable* dc_table;
  HuffDecodeTable* ac_table;
  QuantTable* quant_table;
} ScanComponent;

typedef struct ScanHeader {
  int32_t component_count; /* Ns */
  int32_t ss;
  int32_t se;
  int32_t ah;
  int32_t al;
  int32_t restart_interval;
  int32_t resume_col;
  int32_t resume_row;
  int32_t dc_pred[4];
  ScanComponent* components;
} ScanHeader;

typedef struct InputStream {
  uint64_t bit_acc;
  struct RoutineTable* routines;
  int32_t bit_count;
  const uint8_t* next;
  const uint8_t* data_start;
  const uint8_t* data_end;
  int32_t consumed;
  int32_t data_size;
  int32_t available;
  int32_t eob_run;
  uint8_t* out_start;
  uint8_t pending_marker;
  int32_t cpu_kind;
  int32_t components_done;
  /* Set when the entropy-coded data ran out before the scan did (bit 0:
   * the scan stops there) or before a restart interval did (bit 1: the
   * scan goes on after the restart marker); either way the read reports -11
   * once it has written what it decoded. */
  int32_t data_ended;
  /* 1 once a file read found no more bytes: no read is tried again until
   * the file is moved. */
  int32_t end_of_file;
  void* file;
  uint8_t file_buffer[4096];
} InputStream;

typedef struct QuantExchange {
  uint8_t* values; /* 64 or 128 raw bytes, as in the DQT segment */
  uint8_t id;
} QuantExchange;

typedef struct HuffExchange {
  uint8_t* counts;  /* 16 code-length counts */
  uint8_t* symbols; /* their symbols */
  uint8_t table_class;
  uint8_t id;
} HuffExchange;

/* The working state embedded in every JpegJob: the codec's own, but for
 * the fields below marked "caller" or "both", which a caller sets in
 * job.properties before an operation. Those marked "[added]" go beyond the
 * original record: the region, the transform family, interrupt mode, the
 * memory limit, smoothing and coefficient output (the encoder's additions
 * follow `properties` in JpegJob). Each keeps its place in the record. */
typedef struct JPEG_PROPERTIES {
  int32_t io_type; /* codec: the operation under way */
  /* [added] both, image reads: the region to decode, in pixels of the
   * (reduced) image, right and bottom exclusive; all 0 (the default) or a
   * right or bottom of 0 mean the image's edge. In interrupt mode the codec
   * reports its progress here. */
  int32_t roi_left, roi_top, roi_right, roi_bottom;
  int32_t dct_family;     /* [added] caller, reads and writes: 1 accurate (default), 0 fast */
  int32_t output_layout;  /* codec: how the image is written */
  int32_t interrupt_mode; /* both, image reads: 1 returns after the next MCU with status 1,
                           * and the codec clears it then: set it before every call (0) */

  /* Working copies of the public fields. */
  uint8_t* out_pixels;
  int32_t out_width;
  int32_t out_height;
  int32_t out_pad;
  int32_t out_channels;
  int32_t out_color;
  int32_t out_subsampling;
  int32_t out_line_bytes; /* out_width * out_channels + out_pad, negated for bottom-up */
  const char* file_name;
  uint8_t* jpeg_buffer;
  int32_t jpeg_buffer_size;
  int32_t jpeg_width;
  int32_t jpeg_height;
  int32_t jpeg_channels;
  int32_t jpeg_color;
  int32_t jpeg_subsampling;
  int32_t thumb_width;
  int32_t thumb_height;
  int32_t convert_color;
  int32_t upsample;
  int32_t quality;

  /* Decoder geometry. */
  int32_t single_scan_blocks;
  int32_t mcus_per_row;
  int32_t mcu_rows;

  /* Tables. */
  int32_t quant_tables_read;
  int32_t quant_id_bound;
  int32_t ac_tables_read;
  int32_t dc_tables_read;
  int32_t huff_id_bound;
  QuantTable quant_tables[4];
  HuffDecodeTable ac_tables[4];
  HuffDecodeTable dc_tables[4];

  /* Table exchange: a caller's buffers that receive the tables a stream
   * defines, or supply tables for image reads (Huffman entries indexed by
   * 2 * id + class). */
  int32_t caller_quant_tables;
  int32_t caller_huff_tables;
  QuantExchange quant_exchange[4];
  HuffExchange huff_exchange[8];
  uint8_t scan_ac_selectors[4];
  uint8_t scan_dc_selectors[4];

  /* Frame and scans. */
  FrameHeader frame;
  int32_t restart_interval;
  int32_t dc_final_count;
  int32_t ac_final_count;
  int32_t first_pass; /* 1 until a frame header has been parsed */
  ScanHeader* saved_scan;

  InputStream stream;

  int32_t adobe_seen;
  int32_t adobe_transform;

  /* Which tables a DQT or DHT segment defined: bit n for quantization table
   * n; bit n for DC table n and bit 4 + n for AC table n. A scan that names
   * an undefined Huffman table gets the standard table of T.81 Annex K. */
  uint8_t quant_defined;
  uint8_t huff_defined;
  /* The tables' values in natural order as read, and the transform family
   * each table is prepared for: a family chosen after the tables were read
   * gets them prepared anew before the next scan. */
  uint16_t quant_raw[4][64];
  int32_t quant_family[4];
  /* Bytes the parse put back at its end (a scan header or a frame marker
   * counted as not read). */
  int32_t put_back_bytes;
  /* [added] caller, reads: the largest whole-image coefficient store a
   * progressive frame may allocate, in MiB; jpeg_init sets 1024 (enough for
   * about 350 megapixels of 4:2:0), and a caller may raise it before a read. */
  int32_t max_coef_megabytes;

  /* The region in force when an interrupted decode began: interrupt reports
   * overwrite roi_left..roi_bottom, and a resumed decode takes it back. */
  int32_t interrupt_region[4];
  /* Size in bytes of coef_buffer's coefficients, for the scans to check it
   * against the frame they decode. After them the buffer holds one 64-bit
   * mask per block: bit k set when coefficient k (zig-zag order) is not 0. */
  int64_t coef_buffer_bytes;
  /* 1 once a progressive frame's image has been written. */
  int32_t image_output_done;
  /* 1 while an image read has not yet written its grey background: it is
   * written when the first scan starts, so that a read refused before that
   * leaves the caller's image untouched. */
  int32_t prefill_pending;
  /* A whole-image read whose MCUs cover every pixel of the caller's image
   * paints no grey first: 1 while that holds for the read under way. What
   * an early end leaves unwritten (in raster order the MCUs from column
   * written_until[0] of MCU row written_until[1] on, each mcu_pixels wide
   * and high, or the whole image of a frame never written) is painted grey
   * when the read ends. */
  int32_t prefill_deferred;
  int32_t written_until[2];
  int32_t mcu_pixels[2];
  /* The MCU the image writers read: the start of mcu_buffer, or a later
   * block of it where the decoder left that MCU. */
  int16_t* mcu_samples;
  /* Skip tables derived from the AC tables, allocated when a read first
   * needs them (codec-owned, freed by jpeg_free). */
  void* skip_tables;

  /* What the last read leaves for the next one to continue (0 nothing,
   * 1 an interrupted decode, 2 a region of a sequential frame whose scan and
   * restart index serve a further region, 3 a progressive frame whose
   * coefficients are complete), the I/O type of that read, and the identity
   * of its data: a buffer's address, size and a fingerprint of its bytes,
   * or a file's device, inode, size and modification time. Any other read
   * starts afresh. */
  int32_t continuation;
  int32_t continuation_type;
  int32_t source_is_file;
  const uint8_t* source_buffer;
  int32_t source_size;
  uint64_t source_file_id[4];
  /* The request an interrupted decode was made with and the region its last
   * return reported: a call of the same type with both unchanged resumes
   * it; any change makes it a new read. */
  uint8_t* resume_pixels;
  int32_t resume_request[11];
  /* Bytes of the data being read (a buffer's size, a file's length): a
   * frame that needs more entropy-coded bits than that is refused. */
  int64_t input_bytes;
  /* Set by jpeg_init, cleared by jpeg_free: a second jpeg_init releases
   * what the first one allocated. */
  uint32_t initialised;
  /* 1 once a parameter read has given the caller the comment of the data
   * last read: an image read of the same data leaves it as it is. */
  int32_t comment_delivered;
  /* The tables a tables read defined (codec-owned, freed by jpeg_free):
   * every later read of the job starts with them, so that an abbreviated
   * image can be read in any way. */
  void* kept_tables;
  /* The EXIF, ICC and XMP segments the last read found (codec-owned,
   * freed by jpeg_free); jpeg_metadata gives them. */
  void* metadata;
  /* The quantization table each frame component's coefficients are
   * dequantized with: its table as it stood at the component's first scan
   * (bit n of latched_components set once component n has one), values in
   * natural order as read; a DQT segment between scans redefines the table
   * for later components only. latched_quant holds them prepared for the
   * transform family latched_family[n] (-1: not yet). */
  /* The data colour and component count the last read reported in the
   * public jpeg_color and jpeg_channels (0: none yet). A caller who leaves
   * them so has said nothing about the next data: a read then judges those
   * by themselves, as a new job would. */
  int32_t reported_jpeg_color;
  int32_t reported_jpeg_channels;
  uint32_t latched_components;
  uint16_t latched_raw[4][64];
  int32_t latched_family[4];
  QuantTable latched_quant[4];

  /* Decoding pipeline. */
  int32_t progressive_frame; /* 1 for an SOF2 frame */
  /* Sequential frames: bit n set once frame component n has had its scan;
   * a later scan of components that all had theirs is passed over. */
  uint32_t scanned_components;
  /* Scans decoded into the whole image's coefficient store: those of a
   * progressive frame, and those of a sequential frame whose components
   * come in more than one scan. Nonzero selects the store's decoders. */
  int32_t progressive_scans;
  /* [added] caller, image reads: 1 upsamples 4:2:0 and 4:2:2 chroma by
   * interpolation instead of replication (0). */
  int32_t smooth_upsampling;
  int16_t* mcu_buffer;
  int16_t* coef_buffer;
  /* [added] caller, image reads: a JpegCoefOutput to receive coefficients
   * or samples instead of an image (null). */
  void* coef_output;
  struct RestartIndex* restart_index;
  void* smooth_rows;

  struct RoutineTable* routines;
  int32_t cpu_kind;

  uint16_t adobe_version;
  uint16_t adobe_flags0;
  uint16_t adobe_flags1;

  int32_t jfif_seen;
  uint16_t jfif_version;
  uint8_t density_units;
  uint16_t x_density;
  uint16_t y_density;

  /* Both: a caller's buffer for the comment read before the frame header:
   * on input its capacity, on output the comment's length (null: none). jpeg_write writes
   * its first jpeg_comment_size bytes (up to 65533) as a comment segment. */
  uint8_t* jpeg_comment;
  uint16_t jpeg_comment_size;

  /* Working copy of JpegJob.threads (a caller that sets use_properties sets
   * it here). */
  int32_t threads;
} JPEG_PROPERTIES;

/* Coefficient or sample output instead of an image: set properties.
 * coef_output to one of these. Plane c (frame component c) holds int16
 * values, (mcus_per_row * h * 8) a line and (mcu_rows * v * 8) lines; the
 * block in block row r, column k of MCU (col, row) starts at line
 * (row * v + r) * 8, column (col * h + k) * 8. */
typedef struct JpegCoefOutput {
  int32_t mode; /* 0: coefficients as decoded; other: reconstructed samples */
  int16_t* planes[4];
} JpegCoefOutput;

/* ---- the job record -------------------------------------------------------- */

/* The job record. Each public field says who sets it: "caller" (read by the
 * codec), "codec" (set by it, read by the caller) or "both" (the caller's
 * value in, the codec's out), and for which operations. jpeg_init sets the
 * defaults given. */
typedef struct JpegJob {
  int32_t use_properties;   /* caller, all: nonzero skips validation and the copying of these
                             * fields into `properties`, which the caller has set itself (0) */
  uint8_t* out_pixels;      /* caller, image reads and writes: the caller's image (null) */
  int32_t out_width;        /* caller, image reads and writes: its width in pixels, 1..65535 */
  int32_t out_height;       /* caller, image reads and writes: its rows, up to 65535; negative:
                             * rows stored bottom-up */
  int32_t out_pad;          /* caller, image reads and writes: bytes after each row (0) */
  int32_t out_channels;     /* both, image reads and writes: bytes a pixel (3); a parameter
                             * read of an Adobe file sets it from the file */
  int32_t out_color;        /* both, image reads and writes: the image's ColorCode (ColorBgr) */
  int32_t out_subsampling;  /* caller: 0, or Sub422 with ColorYcbcr for packed Y,Cb,Y,Cr (0) */
  const char* file_name;    /* caller, file types (even IoType values): the JPEG file's name */
  uint8_t* jpeg_buffer;     /* caller, buffer types (odd): the JPEG data, or a write's output */
  int32_t jpeg_buffer_size; /* both, buffer types: the data's size, or the output's room; a
                             * buffer write sets it to the bytes written */
  int32_t jpeg_width;       /* both: set by parameter and image reads; the JPEG's width for a
                             * write (the caller's image or its top-left part) */
  int32_t jpeg_height;      /* both: likewise the height */
  int32_t jpeg_channels;    /* both: the frame's components from a read; a write's (3) */
  int32_t jpeg_color;       /* both: the data's ColorCode from a read (the caller's value is kept
                             * where the file does not say); a write's (ColorYcbcr) */
  int32_t jpeg_subsampling; /* both: the data's SubsamplingCode from a read; a write's (Sub420) */
  int32_t thumb_width;      /* codec, parameter reads: the JFIF thumbnail's size, 0 if none */
  int32_t thumb_height;     /* codec: likewise its height */
  int32_t convert_color;    /* codec, reads: 1 when decoding converts colour (1) */
  int32_t upsample;         /* codec, reads: 1 when decoding upsamples chroma (1) */
  int32_t quality;          /* caller, writes: 1..100 (75) */
  JPEG_PROPERTIES properties;

  /* ---- Additions to the original record, kept after it so that every
   * field above stays where it was. Encoder options for jpeg_write (caller,
   * writes); 0, as a cleared record holds them, leaves each off. ---- */
  int32_t write_optimize;         /* Huffman tables made for the image (a first pass counts its
                                   * symbols): smaller files, slower writing */
  int32_t write_progressive;      /* a progressive (SOF2) file, its tables made for each scan */
  int32_t write_restart_interval; /* MCUs between restart markers, 0 to 65535 (0: none) */
  /* Codec, reads and writes: which check refused the last request, in
   * words (for example "out_width must be 1 to 65535, is 0"), or empty. Read
   * it with jpeg_status_detail. */
  char status_detail[128];
  /* Caller, reads and writes: how many threads an image read or write may
   * use, the calling one included: 0 or 1 (the default) the calling thread
   * alone. More are started only for an image of half a megapixel or more,
   * never more than the machine has cores, and all have ended when the call
   * returns; the pixels, bytes, statuses and the stream's state are those
   * one thread gives. Reads of a whole image at any scale use them
   * (sequential scans, with the smoothing upsampler too, and a progressive
   * image's scans and rows, from memory); regions, interrupt mode and
   * coefficient output take the calling thread alone. */
  int32_t threads;
} JpegJob;

/* What a photograph carries beside its image, as the job's last read found
 * it (jpeg_metadata; an addition to the original interface). The bytes are
 * the codec's: valid until the job's next read or jpeg_free. Broken
 * metadata are reported as absent, never as a failure of the read. */
typedef struct JpegMetadata {
  const uint8_t* exif; /* the first APP1 "Exif" payload, from its "Exif\0\0" on (the TIFF
                        * data follow those 6 bytes), or null */
  int32_t exif_size;
  const uint8_t* icc; /* the ICC profile, put together from its APP2 "ICC_PROFILE" chunks
                       * (null unless each chunk came once, numbered 1 to their count) */
  int32_t icc_size;
  const uint8_t* xmp; /* the XMP packet of the first APP1 with the XMP namespace, or null */
  int32_t xmp_size;
  int32_t orientation; /* EXIF orientation 1..8: 1 as stored (also when absent or broken),
                        * 2 mirrored, 3 turned 180 degrees, 4 flipped, 5 transposed, 6 to be
                        * turned 90 degrees clockwise, 7 transversed, 8 to be turned 90
                        * degrees counter-clockwise */
} JpegMetadata;

/* An application segment a write carries: APPn (marker 0xE0 to 0xEF) with
 * `size` bytes after its length field, up to 65533. */
typedef struct JpegSegment {
  int32_t marker;
  const uint8_t* data;
  int32_t size;
} JpegSegment;

/* What the job's later writes carry beside the image (jpeg_set_metadata; an
 * addition to the original interface). A whole or abbreviated image gets,
 * after its JFIF or Adobe segment and in this order: the EXIF block, the XMP
 * packet, the ICC profile, the caller's segments as listed, the version
 * comment, then the record's jpeg_comment. A tables file carries none. */
typedef struct JpegWriteMetadata {
  const uint8_t* exif; /* an EXIF block: TIFF data, with or without the "Exif\0\0" before
                        * them (written when missing); up to 65533 bytes with it */
  int32_t exif_size;
  const uint8_t* icc; /* an ICC profile, written as APP2 "ICC_PROFILE" chunks of up to
                       * 65519 bytes, at most 255 of them */
  int32_t icc_size;
  const uint8_t* xmp; /* an XMP packet, up to 65504 bytes (one APP1 with the namespace) */
  int32_t xmp_size;
  const JpegSegment* segments; /* further APPn segments, or null */
  int32_t segment_count;
  int32_t version_comment; /* 1: a comment "jpegcodec <version>"; 0 writes none */
} JpegWriteMetadata;

/* A JPEG image as quantized coefficients, for jpeg_write_coefficient_image (an
 * addition to the original interface). Component c's blocks are laid out as
 * a JpegCoefOutput plane of the frame these describe: (mcus_per_row * h * 8)
 * values a line, (mcu_rows * v * 8) lines, where an MCU is (max h * 8) by
 * (max v * 8) pixels; each block's 64 values in natural order, 8 a line.
 * Blocks past the image's edge that complete an MCU are written as given.
 * A sole component is written 1x1 whatever its factors say. */
typedef struct JpegCoefComponent {
  int32_t id;           /* its identifier in the frame header, 0 to 255 */
  int32_t h, v;         /* sampling factors, 1 to 4 */
  int32_t quant_table;  /* which of quant_tables its values were quantized with, 0 to 3 */
  const int16_t* plane; /* its coefficients: DC -1024..1023, AC -1023..1023 (8-bit samples) */
} JpegCoefComponent;

typedef struct JpegCoefImage {
  int32_t width, height; /* pixels, 1 to 65535 */
  int32_t color;         /* ColorCode of the data: ColorGray and ColorYcbcr get a JFIF segment,
                          * ColorRgb, ColorFourChannel and ColorYcck an Adobe one */
  int32_t component_count; /* 1 to 4 */
  JpegCoefComponent components[4];
  /* The quantization tables the components name, natural order, values 1
   * to 65535 (a table with a value above 255 makes the frame extended
   * sequential, SOF1, when it is not progressive). */
  const uint16_t* quant_tables[4];
} JpegCoefImage;

/* Lossless transforms of a JPEG image (jpeg_transform; an addition to the
 * original interface): turned, mirrored, transposed, cropped on the MCU grid
 * without decoding its coefficients to pixels. */
typedef enum JpegTransformKind {
  TransformNone = 0,
  TransformFlipHorizontal = 1, /* mirrored left to right */
  TransformFlipVertical = 2,   /* mirrored top to bottom */
  TransformTranspose = 3,      /* across the top-left to bottom-right diagonal */
  TransformTransverse = 4,     /* across the top-right to bottom-left diagonal */
  TransformRotate90 = 5,       /* turned 90 degrees clockwise */
  TransformRotate180 = 6,
  TransformRotate270 = 7
} JpegTransformKind;

typedef enum JpegCopyKind {
  CopyNone = 0,     /* neither comments nor metadata */
  CopyComments = 1, /* the comment (the default of jpegxform) */
  CopyAll = 2       /* the comment, EXIF, ICC profile and XMP */
} JpegCopyKind;

typedef struct JpegTransform {
  int32_t kind; /* JpegTransformKind */
  /* 1: the transform the source's EXIF orientation asks for instead of
   * `kind` (which must then be TransformNone), and the orientation written
   * as 1 in the EXIF block that is kept. */
  int32_t auto_orient;
  /* A crop of the transformed image: crop_width 0 for none. Its top-left
   * corner moves up and left to the MCU grid and the size grows by as much;
   * it must lie inside the image. */
  int32_t crop_x, crop_y, crop_width, crop_height;
  int32_t grayscale; /* 1: the first (luma) component alone */
  /* The blocks a mirror cannot move whole (a partial MCU at the right or
   * bottom edge) stay where they are unless `trim` drops them; `perfect`
   * refuses such a transform instead (-12, "Not supported"). */
  int32_t trim;
  int32_t perfect;
  int32_t copy; /* JpegCopyKind */
  /* A restart marker every this many MCU rows of the result (0: the
   * destination's write_restart_interval, in MCUs, as it is). */
  int32_t restart_rows;
  /* 1: a damaged source is written as far as it was read (its status is
   * returned all the same); 0 writes nothing then. */
  int32_t force;
  /* Codec: 1 once the result has been written (with `force`, also when the
   * source's failure is returned). */
  int32_t written;
} JpegTransform;

typedef struct JpegVersion {
  int32_t major;
  int32_t minor;
  int32_t build;
  const char* library_name;
  const char* version;
  const char* full_version;
  const char* build_date;
  const char* tool;
} JpegVersion;

/* ---- operations ------------------------------------------------------------ */

JPEG_API JpegStatus jpeg_init(JpegJob* job);
JPEG_API JpegStatus jpeg_free(JpegJob* job);
JPEG_API JpegStatus jpeg_read(JpegJob* job, int32_t io_type);
JPEG_API JpegStatus jpeg_write(JpegJob* job, int32_t io_type);
JPEG_API const char* jpeg_status_text(JpegStatus status);
/* What the job's last jpeg_read or jpeg_write found wrong with its request,
 * beyond the status: an empty text when nothing was refused or the status
 * says it all. An addition to the original interface. */
JPEG_API const char* jpeg_status_detail(const JpegJob* job);
/* What the job's last read (a parameter read, or any image read) found
 * beside the image: 0, -8 for a job not initialised, -5 when the profile
 * cannot be put together for lack of memory. */
JPEG_API JpegStatus jpeg_metadata(JpegJob* job, JpegMetadata* metadata);
/* Keeps a copy of what the job's later jpeg_write calls carry, until the next
 * call or jpeg_free (null: nothing; a job that never calls it writes no
 * metadata and no version comment). 0; -8 with the status detail naming
 * what is out of range (the earlier request stays then); -5. */
JPEG_API JpegStatus jpeg_set_metadata(JpegJob* job, const JpegWriteMetadata* metadata);
/* Writes a JPEG image from quantized coefficients (an addition to the
 * original interface): I/O type 8 (file_name) or 9 (jpeg_buffer, its size
 * set to the bytes written), with the job's write_optimize,
 * write_progressive, write_restart_interval, threads, jpeg_set_metadata and
 * jpeg_comment as jpeg_write takes them, and its JFIF values. 0; -8 with the
 * status detail for a description out of range; -28, -10, -5. */
JPEG_API JpegStatus jpeg_write_coefficient_image(JpegJob* job, int32_t io_type,
                                            const JpegCoefImage* image);
/* Transforms the JPEG image `source` names (its file_name or jpeg_buffer,
 * read with I/O type `read_type`, 2 or 3) into `destination` (written with
 * `write_type`, 8 or 9, and its write options as jpeg_write_coefficient_image
 * takes them): baseline, extended and progressive Huffman-coded 8-bit
 * sources; a crop reads only the part of a sequential source it needs.
 * 0; the source's status for a damaged file (nothing written unless
 * `force`) or one it cannot read (-29 for arithmetic-coded or 12-bit
 * data); -12 for a transform `perfect` refuses or a grey result of data
 * without luma; -8 for a bad request. The destination's status detail says
 * why. Both jobs are initialised by the caller; the source's comment
 * buffer, region and coefficient output, and the destination's comment,
 * metadata request and JFIF density are the transform's while it runs
 * (the destination keeps the metadata it was given for the result). */
JPEG_API JpegStatus jpeg_transform(JpegJob* source, int32_t read_type, JpegJob* destination,
                                   int32_t write_type, JpegTransform* transform);
JPEG_API const JpegVersion* jpeg_version(void);

#ifdef __cplusplus
}
#endif

#endif /* JPEGCODEC_H */
