// The marker parser and input stream: parameter, table and thumbnail reads
// of real and crafted files, every failure status, the table exchange.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "jpeg/cpu/file_io.h"
#include "jpeg/stream/input_stream.h"
#include "jpeg/stream/standard_tables.h"
#include "tests/jpeg_test_util.h"

using namespace jpegcodec;

namespace {

// A file holding `bytes`, removed at the end.

// The usual start of a gray 8x8 baseline image, up to its scan header.
JpegBuilder gray_image_head(uint8_t frame_code = 0xC0) {
  JpegBuilder b;
  b.soi().jfif().dqt(0).gray_frame(8, 8, frame_code);
  b.dht(0, 0, {0, 1}, {0}).dht(1, 0, {0, 1}, {0});
  return b;
}

JpegStatus read_params(const std::vector<uint8_t>& bytes) {
  BufferJob job(bytes);
  return job.read(IoReadParamsBuffer);
}

JpegStatus read_image(const std::vector<uint8_t>& bytes) {
  BufferJob job(bytes);
  std::vector<uint8_t> pixels(64 * 64 * 3);
  job.job.out_pixels = pixels.data();
  job.job.out_width = 64;
  job.job.out_height = 64;
  job.job.out_color = ColorBgr;
  job.job.jpeg_color = ColorGray;
  job.job.jpeg_channels = 1;
  return job.read(IoReadImageBuffer);
}

}  // namespace

TEST(ParameterReads, EveryGeneratedFileMatchesItsManifest) {
  std::ifstream manifest(test_data("generated/manifest.tsv"));
  ASSERT_TRUE(manifest.good());
  std::string line;
  std::getline(manifest, line);  // header
  int rows = 0;
  while (std::getline(manifest, line)) {
    std::istringstream fields(line);
    std::string file, status, width, height, channels, color, subsampling, progressive, thumb;
    fields >> file >> status >> width >> height >> channels >> color >> subsampling >>
        progressive >> thumb;
    ++rows;
    for (int32_t type : {IoReadParamsFile, IoReadParamsBuffer}) {
      const std::string path = test_data("generated/" + file);
      BufferJob job(read_file(path));
      job.job.file_name = path.c_str();
      const JpegStatus got = job.read(type);
      ASSERT_EQ(std::to_string(got), status) << file << " type " << type;
      // A failed read leaves the public fields as they were; only successful
      // reads report the file's values.
      if (got != JpegSuccess) continue;
      const JpegJob& j = job.job;
      EXPECT_EQ(std::to_string(j.jpeg_width), width) << file;
      EXPECT_EQ(std::to_string(j.jpeg_height), height) << file;
      EXPECT_EQ(std::to_string(j.jpeg_channels), channels) << file;
      EXPECT_EQ(std::to_string(j.jpeg_color), color) << file;
      EXPECT_EQ(std::to_string(j.jpeg_subsampling), subsampling) << file;
      EXPECT_EQ(std::to_string(j.thumb_width) + "x" + std::to_string(j.thumb_height), thumb)
          << file;
    }
  }
  EXPECT_EQ(rows, 41);
}

TEST(ParameterReads, UnsupportedFramesOfTheConformanceSetGiveMinus29) {
  int checked = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(test_data("jpegsuite"))) {
    const std::string path = entry.path().string();
    if (entry.path().extension() != ".jpg") continue;
    const bool arithmetic = path.find("arithmetic") != std::string::npos;
    const bool lossless = path.find("lossless") != std::string::npos;
    const bool twelve_bit = path.find("x12_") != std::string::npos;
    if (!arithmetic && !lossless && !twelve_bit) continue;
    BufferJob job({});
    job.job.file_name = path.c_str();
    EXPECT_EQ(job.read(IoReadParamsFile), JpegUnsupportedFrame) << path;
    ++checked;
  }
  EXPECT_GT(checked, 90);
}

TEST(ParameterReads, LeaveTheFileAtTheFirstScan) {
  const std::string path = test_data("generated/base_420.jpg");
  BufferJob job({});
  job.job.file_name = path.c_str();
  ASSERT_EQ(job.read(IoReadParamsFile), JpegSuccess);
  ASSERT_NE(job.job.properties.stream.file, nullptr) << "type 0 leaves the file open";
  uint8_t marker[2] = {};
  uint32_t n = 0;
  ASSERT_NE(file_read(job.job.properties.stream.file, marker, 2, &n), 0);
  EXPECT_EQ(marker[0], 0xFF);
  EXPECT_EQ(marker[1], 0xDA);
  // From a buffer, the data start moves to the scan header.
  BufferJob buffer(read_file(path));
  ASSERT_EQ(buffer.read(IoReadParamsBuffer), JpegSuccess);
  EXPECT_EQ(buffer.job.properties.stream.data_start[0], 0xFF);
  EXPECT_EQ(buffer.job.properties.stream.data_start[1], 0xDA);
}

TEST(ParameterReads, CommentsGoToTheCallersBuffer) {
  JpegBuilder b;
  b.soi().com("0123456789").gray_frame().eoi();
  {
    BufferJob job(b.data);
    uint8_t comment[16] = {};
    job.job.properties.jpeg_comment = comment;
    job.job.properties.jpeg_comment_size = 4;
    EXPECT_EQ(job.read(IoReadParamsBuffer), JpegCommentAccessError);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(comment)), "0123");
    EXPECT_EQ(job.job.properties.jpeg_comment_size, 10);
  }
  // A second comment before the frame overwrites the first, and finds the
  // first one's length as the capacity.
  JpegBuilder two;
  two.soi().com("first comment").com("second").gray_frame().eoi();
  BufferJob job(two.data);
  char comment[32] = {};
  job.job.properties.jpeg_comment = reinterpret_cast<uint8_t*>(comment);
  job.job.properties.jpeg_comment_size = sizeof comment;
  EXPECT_EQ(job.read(IoReadParamsBuffer), JpegSuccess);
  EXPECT_EQ(job.job.properties.jpeg_comment_size, 6);
  EXPECT_EQ(std::string(comment), "secondcomment");
  // A comment buffer the process cannot write to is reported, not a crash.
  BufferJob bad(b.data);
  bad.job.properties.jpeg_comment = reinterpret_cast<uint8_t*>(const_cast<char*>("read-only"));
  bad.job.properties.jpeg_comment_size = 64;
#if !defined(__SANITIZE_ADDRESS__)
  EXPECT_EQ(bad.read(IoReadParamsBuffer), JpegCommentAccessError);
#endif
}

TEST(ParameterReads, FillBytesAndRestartMarkersArePassedOver) {
  JpegBuilder b;
  b.soi().raw({0xFF, 0xFF, 0xFF}).dqt(0).marker(0xD3).raw({0xFF}).gray_frame(9, 7);
  b.sos({{1, 0, 0}}).raw({0x00}).eoi();
  BufferJob job(b.data);
  ASSERT_EQ(job.read(IoReadParamsBuffer), JpegSuccess);
  EXPECT_EQ(job.job.jpeg_width, 9);
  EXPECT_EQ(job.job.jpeg_height, 7);
  EXPECT_EQ(job.job.jpeg_color, ColorGray);
  // A DNL segment is skipped like any other.
  JpegBuilder dnl;
  dnl.soi().segment(0xDC, {0, 8}).gray_frame().eoi();
  EXPECT_EQ(read_params(dnl.data), JpegSuccess);
}

namespace {

// One corruption of the stream and the status that names it. `image`
// reads the whole image, else the parameters.
struct Corruption {
  const char* name;
  std::vector<uint8_t> bytes;
  bool image;
  JpegStatus expected;
};

void PrintTo(const Corruption& c, std::ostream* os) {
  *os << c.name;
}

std::vector<Corruption> failure_table() {
  const std::vector<std::vector<uint8_t>> five = {
      {1, 1, 1, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}, {4, 1, 1, 0}, {5, 1, 1, 0}};
  JpegBuilder no_quant;
  no_quant.soi().gray_frame().sos({{1, 0, 0}});
  std::vector<Corruption> cases = {
      {"FirstMarkerNotSoi", JpegBuilder().raw({'G', 'I', 'F'}).dqt(0).data, false, JpegNotJpeg},
      {"SegmentLengthBelow2", JpegBuilder().soi().raw({0xFF, 0xDB, 0x00, 0x01}).data, false,
       JpegDataError},
      {"QuantTableId4", JpegBuilder().soi().dqt(4).data, false, JpegBadQuantizationTable},
      {"QuantTablePastItsSegment", JpegBuilder().soi().segment(0xDB, {0, 1, 2, 3}).data, false,
       JpegBadQuantizationTable},
      {"HuffmanClass2", JpegBuilder().soi().dht(2, 0, {0, 1}, {0}).data, false,
       JpegBadHuffmanTable},
      {"HuffmanId4", JpegBuilder().soi().dht(0, 4, {0, 1}, {0}).data, false, JpegBadHuffmanTable},
      {"HuffmanSymbolsPastThePayload", JpegBuilder().soi().dht(0, 0, {0, 3}, {0}).data, false,
       JpegBadHuffmanTable},
      {"MoreCodesThanALengthHolds", JpegBuilder().soi().dht(0, 0, {3}, {0, 1, 2}).data, false,
       JpegBadHuffmanTable},
      {"TwelveBitSamples", JpegBuilder().soi().sof(0xC0, 8, 8, {{1, 1, 1, 0}}, 12).data, false,
       JpegUnsupportedFrame},
      {"HeightFromDnl", JpegBuilder().soi().gray_frame(8, 0).data, false, JpegDnlError},
      {"NoComponents", JpegBuilder().soi().sof(0xC0, 8, 8, {}).data, false, JpegCompError},
      {"FiveComponents", JpegBuilder().soi().sof(0xC0, 8, 8, five).data, false, JpegCompError},
      {"SamplingFactor0", JpegBuilder().soi().sof(0xC0, 8, 8, {{1, 0, 1, 0}}).data, false,
       JpegCompError},
      {"Width0", JpegBuilder().soi().gray_frame(0, 8).data, false, JpegSofError},
      {"ScanBeforeAnyFrame", JpegBuilder().soi().dqt(0).sos({{1, 0, 0}}).data, true, JpegNoFrame},
      {"TablesThenNoImage", JpegBuilder().soi().dqt(0).eoi().dqt(1).data, true, JpegNoImage},
      {"ScanNamesAMissingComponent", gray_image_head().sos({{9, 0, 0}}).data, true, JpegDataError},
      {"ScanNamesTable4", gray_image_head().sos({{1, 4, 0}}).data, true, JpegDataError},
      // Progressive frames only: a sequential frame's scans carry the whole
      // band whatever they say.
      {"ProgressiveBandOutsideTheBlock", gray_image_head(0xC2).sos({{1, 0, 0}}, 0, 64).data, true,
       JpegDataError},
      {"ScanWithoutItsQuantTable", no_quant.data, true, JpegNoQuantizationTable},
      // Application segments with a broken length are passed over (the
      // search for the next marker finds its way), as APP0, APP14 and COM.
      {"UnknownAppSegmentLengthBelow2PassedOver",
       JpegBuilder().soi().raw({0xFF, 0xE5, 0x00, 0x01}).gray_frame().eoi().data, false,
       JpegSuccess},
      {"ProgressiveAcScanOfTwoComponents",
       JpegBuilder()
           .soi()
           .dqt(0)
           .sof(0xC2, 8, 8, {{1, 1, 1, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}})
           .sos({{1, 0, 0}, {2, 0, 0}}, 1, 5, 0)
           .data,
       true, JpegDataError},
      // Stricter than the segments' syntax, as libjpeg-turbo is.
      {"DcSymbolAbove15", JpegBuilder().soi().dht(0, 0, {0, 1}, {16}).data, false,
       JpegBadHuffmanTable},
      {"RefinementTwoBitsBelow", gray_image_head(0xC2).sos({{1, 0, 0}}, 0, 0, 0x30).data, true,
       JpegDataError},
      {"RefinementAboveItsBit", gray_image_head(0xC2).sos({{1, 0, 0}}, 0, 0, 0xAB).data, true,
       JpegDataError},
      {"SecondProgressiveFrameOfAnotherSize",
       gray_image_head(0xC2).gray_frame(16, 8, 0xC2).sos({{1, 0, 0}}, 0, 0, 0).data, true,
       JpegMultipleFrames},
      {"SecondFrameOfAnotherKind",
       gray_image_head(0xC0).gray_frame(8, 8, 0xC2).sos({{1, 0, 0}}).data, true,
       JpegMultipleFrames},
      {"SamplingThatDoesNotDivideTheLargest",
       JpegBuilder()
           .soi()
           .dqt(0)
           .sof(0xC0, 16, 16, {{1, 2, 2, 0}, {2, 3, 3, 0}, {3, 1, 1, 0}})
           .data,
       true, JpegCompError},
      {"DataEndDuringAMarkerSearch", JpegBuilder().soi().dqt(0).raw({0x12, 0x34}).data, false,
       JpegEofError},
  };
  // Lossless and arithmetic-coded frames.
  const std::pair<uint8_t, const char*> unsupported[] = {{0xC3, "LosslessFrame"},
                                                         {0xC5, "DifferentialSequentialFrame"},
                                                         {0xC9, "ArithmeticSequential"},
                                                         {0xCA, "ArithmeticProgressive"},
                                                         {0xCB, "ArithmeticLossless"},
                                                         {0xCD, "ArithmeticDifferentialSequential"},
                                                         {0xCF, "ArithmeticDifferentialLossless"}};
  for (const auto& [code, name] : unsupported) {
    cases.push_back(
        {name, JpegBuilder().soi().gray_frame(8, 8, code).data, false, JpegUnsupportedFrame});
  }
  return cases;
}

}  // namespace

class FailureTable : public testing::TestWithParam<Corruption> {};

TEST_P(FailureTable, GivesItsStatus) {
  const Corruption& c = GetParam();
  EXPECT_EQ(c.image ? read_image(c.bytes) : read_params(c.bytes), c.expected);
}

INSTANTIATE_TEST_SUITE_P(ParserFailures, FailureTable, testing::ValuesIn(failure_table()),
                         [](const testing::TestParamInfo<Corruption>& info) {
                           return std::string(info.param.name);
                         });

TEST(ParserFailures, PackedYcbcrOutputOf420DataIsRefused) {
  BufferJob ycc(JpegBuilder()
                    .soi()
                    .jfif()
                    .dqt(0)
                    .sof(0xC0, 16, 16, {{1, 2, 2, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}})
                    .data);
  std::vector<uint8_t> pixels(16 * 16 * 2);
  ycc.job.out_pixels = pixels.data();
  ycc.job.out_width = 16;
  ycc.job.out_height = 16;
  ycc.job.out_channels = 2;
  ycc.job.out_color = ColorYcbcr;
  ycc.job.out_subsampling = Sub422;
  EXPECT_EQ(ycc.read(IoReadImageBuffer), JpegInvalidProperties);
  EXPECT_STREQ(jpeg_status_detail(&ycc.job),
               "YCbCr output is packed Y,Cb,Y,Cr of 4:2:2 data; these data are sampled 2x2, 1x1, "
               "1x1");
  // Refusals that only the frame can tell say why too.
  BufferJob cmyk(read_file(test_data("generated/cmyk.jpg")));
  ASSERT_EQ(cmyk.read(IoReadParamsBuffer), JpegSuccess);
  cmyk.job.out_pixels = pixels.data();
  cmyk.job.out_width = cmyk.job.out_height = 1;
  cmyk.job.out_channels = 3;
  cmyk.job.out_color = ColorRgb;
  cmyk.job.jpeg_color = ColorYcbcr;  // as if three components were expected
  cmyk.job.jpeg_channels = 3;
  EXPECT_EQ(cmyk.read(IoReadImageBuffer), JpegInvalidProperties);
  EXPECT_STREQ(jpeg_status_detail(&cmyk.job),
               "the data are jpeg_color 5 with 4 components, which give no out_color 1 with 3 "
               "channels");
  BufferJob odd(JpegBuilder()
                    .soi()
                    .dqt(0)
                    .sof(0xC0, 16, 16, {{1, 2, 2, 0}, {2, 3, 3, 0}, {3, 1, 1, 0}})
                    .data);
  odd.job.out_pixels = pixels.data();
  odd.job.out_width = odd.job.out_height = 1;
  odd.job.out_color = ColorRgb;
  EXPECT_EQ(odd.read(IoReadImageBuffer), JpegCompError);
  EXPECT_STREQ(jpeg_status_detail(&odd.job),
               "component 1 is sampled 2x2, which does not divide the largest sampling, 3x3");
}

TEST(ParserFailures, InputThatEndsGivesEofErrorFromFileAndBuffer) {
  // -11: the data end during a marker search, from a file as from memory.
  TempFile truncated(JpegBuilder().soi().dqt(0).raw({0x12}).data);
  BufferJob job(JpegBuilder().soi().dqt(0).raw({0x12}).data);
  EXPECT_EQ(job.read(IoReadParamsBuffer), JpegEofError);
  job.job.file_name = truncated.path.c_str();
  EXPECT_EQ(job.read(IoReadParamsFile), JpegEofError);
  EXPECT_EQ(job.job.properties.stream.file, nullptr) << "a failed read closes the file";
  // A take that a refill cannot satisfy: the data end there.
  TempFile small(std::vector<uint8_t>(4100, 0x55));
  InputStream stream{};
  stream.file = file_open(small.path.c_str(), FileAccess::Read);
  stream.data_start = stream.file_buffer;
  stream.data_size = sizeof stream.file_buffer;
  stream_reset(&stream);
  const uint8_t* bytes = nullptr;
  EXPECT_EQ(stream_take(&stream, 4090, &bytes), JpegSuccess);
  EXPECT_EQ(stream_take(&stream, 100, &bytes), JpegEofError) << "10 bytes after a refill";
  EXPECT_EQ(stream_take(&stream, 8, &bytes), JpegSuccess) << "the bytes kept are still there";
  EXPECT_EQ(stream_take(&stream, 8, &bytes), JpegEofError) << "and then the file ends";
  EXPECT_EQ(stream.end_of_file, 1) << "no read is tried again";
  file_close(stream.file);
  // -10 for a missing file, as before any parse.
  job.job.file_name = "/nonexistent/x.jpg";
  EXPECT_EQ(job.read(IoReadParamsFile), JpegInvalidFileName);
}

TEST(ParserLimits, SegmentSizesAtTheirBounds) {
  // Four 16-bit quantization tables: a DQT payload of exactly 516 bytes.
  std::vector<uint8_t> dqt;
  for (uint8_t id = 0; id < 4; ++id) {
    dqt.push_back(static_cast<uint8_t>(0x10 | id));
    dqt.insert(dqt.end(), 128, 1);
  }
  ASSERT_EQ(dqt.size(), 516u);
  EXPECT_EQ(read_params(JpegBuilder().soi().segment(0xDB, dqt).gray_frame().eoi().data),
            JpegSuccess);
  dqt.push_back(0);
  EXPECT_EQ(read_params(JpegBuilder().soi().segment(0xDB, dqt).data), JpegDataError);

  // Four AC Huffman tables of 256, 256, 256 and 255 codes: 1091 bytes
  // (a DC table holds categories 0 to 15 alone).
  auto table = [](uint8_t tc_th, int codes) {
    std::vector<uint8_t> t{tc_th};
    std::vector<uint8_t> counts(16, 0);
    counts[7] = 255;                                // 255 codes of 8 bits
    counts[8] = static_cast<uint8_t>(codes - 255);  // and the rest of 9
    t.insert(t.end(), counts.begin(), counts.end());
    for (int i = 0; i < codes; ++i) t.push_back(static_cast<uint8_t>(i));
    return t;
  };
  std::vector<uint8_t> dht;
  for (auto part : {table(0x10, 256), table(0x11, 256), table(0x12, 256), table(0x13, 255)}) {
    dht.insert(dht.end(), part.begin(), part.end());
  }
  ASSERT_EQ(dht.size(), 1091u);
  EXPECT_EQ(read_params(JpegBuilder().soi().segment(0xC4, dht).gray_frame().eoi().data),
            JpegSuccess);
  dht.push_back(0);
  EXPECT_EQ(read_params(JpegBuilder().soi().segment(0xC4, dht).data), JpegDataError);

  // 257 codes in all are accepted, 258 refused.
  std::vector<uint8_t> counts(16, 0);
  counts[7] = 255;
  counts[15] = 2;
  std::vector<uint8_t> symbols(258, 1);
  EXPECT_EQ(read_params(JpegBuilder()
                            .soi()
                            .dht(1, 0, counts, std::vector<uint8_t>(257, 1))
                            .gray_frame()
                            .eoi()
                            .data),
            JpegSuccess);
  counts[15] = 3;
  EXPECT_EQ(read_params(JpegBuilder().soi().dht(1, 0, counts, symbols).data), JpegBadHuffmanTable);
}

TEST(ParserLimits, ProgressiveStoreHasALimit) {
  // A progressive frame claiming 65535 x 65535 pixels would need about 12 GiB.
  JpegBuilder huge;
  huge.soi().dqt(0).sof(0xC2, 65535, 65535, {{1, 2, 2, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}});
  huge.dht(0, 0, {0, 1}, {0}).sos({{1, 0, 0}, {2, 0, 0}, {3, 0, 0}}, 0, 0, 0x01);
  // With a few bytes of data it is refused at its header: no data that
  // short can hold so many blocks.
  BufferJob job(huge.data);
  std::vector<uint8_t> pixels(16);
  job.job.out_pixels = pixels.data();
  job.job.out_width = 1;
  job.job.out_height = 1;
  EXPECT_EQ(job.read(IoReadImageBuffer), JpegSofError);
  EXPECT_EQ(job.read(IoReadParamsBuffer), JpegSofError);
  EXPECT_EQ(job.job.properties.coef_buffer, nullptr);
  // With data enough for a bit every 64 blocks, the store's limit refuses it.
  huge.raw(std::vector<uint8_t>(13 << 14, 0));
  BufferJob backed(huge.data);
  backed.job.out_pixels = pixels.data();
  backed.job.out_width = 1;
  backed.job.out_height = 1;
  EXPECT_EQ(backed.read(IoReadImageBuffer), JpegMemoryError);
  EXPECT_EQ(backed.job.properties.coef_buffer, nullptr);
  EXPECT_EQ(backed.job.properties.saved_scan, nullptr);
  // A real progressive image passes the limit, and a caller can lower it.
  const std::string path = test_data("generated/prog_420.jpg");
  for (int32_t limit : {1024, 0}) {
    BufferJob prog(read_file(path));
    std::vector<uint8_t> out(320 * 240 * 3);
    prog.job.out_pixels = out.data();
    prog.job.out_width = 320;
    prog.job.out_height = 240;
    prog.job.properties.max_coef_megabytes = limit;
    const JpegStatus status = prog.read(IoReadImageBuffer);
    if (limit == 0) {
      EXPECT_EQ(status, JpegMemoryError);
    } else {
      EXPECT_EQ(status, JpegSuccess);
      EXPECT_NE(prog.job.properties.coef_buffer, nullptr);
    }
  }
}

TEST(TableReads, TablesAndTheExchange) {
  const std::string path = test_data("generated/base_420.jpg");
  BufferJob job(read_file(path));
  uint8_t quant[4][128] = {};
  uint8_t counts[8][16] = {};
  uint8_t symbols[8][256] = {};
  for (int i = 0; i < 4; ++i) job.job.properties.quant_exchange[i].values = quant[i];
  for (int i = 0; i < 8; ++i) {
    job.job.properties.huff_exchange[i].counts = counts[i];
    job.job.properties.huff_exchange[i].symbols = symbols[i];
  }
  // This encoder writes its Huffman tables after the frame header, so a
  // table read (which stops at the frame) gets the quantization tables only.
  ASSERT_EQ(job.read(IoReadTablesBuffer), JpegSuccess);
  EXPECT_EQ(job.job.properties.first_pass, 1) << "a table read stops before the frame";
  EXPECT_EQ(job.job.properties.quant_tables_read, 2);
  EXPECT_EQ(job.job.properties.dc_tables_read, 0);
  ASSERT_EQ(job.read(IoReadParamsBuffer), JpegSuccess);
  const JPEG_PROPERTIES& p = job.job.properties;
  EXPECT_EQ(p.quant_tables_read, 2);
  EXPECT_EQ(p.quant_id_bound, 2);
  EXPECT_EQ(p.dc_tables_read, 2);
  EXPECT_EQ(p.ac_tables_read, 2);
  EXPECT_EQ(p.huff_id_bound, 2);
  // The exchange got the raw tables; the decoder's copy is in natural order.
  EXPECT_EQ(p.quant_exchange[1].id, 1);
  EXPECT_EQ(p.quant_tables[0].values[0], quant[0][0]);
  EXPECT_EQ(p.quant_tables[0].values[8], quant[0][2]) << "zig-zag 2 is natural 8";
  EXPECT_EQ(p.quant_tables[0].values[1], quant[0][1]);
  // This encoder uses the example tables of T.81 Annex K.3.
  for (int table_class = 0; table_class < 2; ++table_class) {
    for (int id = 0; id < 2; ++id) {
      const StandardHuffmanTable& standard = standard_huffman_table(table_class, id);
      const int entry = 2 * id + table_class;
      EXPECT_EQ(0, std::memcmp(counts[entry], standard.counts, 16)) << table_class << id;
      int total = 0;
      for (uint8_t n : standard.counts) total += n;
      EXPECT_EQ(0, std::memcmp(symbols[entry], standard.symbols, total)) << table_class << id;
    }
  }
}

TEST(TableReads, TablesOnlyThenAnImageReadsAsOneImage) {
  const std::string path = test_data("generated/tables_then_image.jpg");
  BufferJob job(read_file(path));
  std::vector<uint8_t> pixels(1024 * 1024 * 3);
  job.job.out_pixels = pixels.data();
  job.job.out_width = 1024;
  job.job.out_height = 1024;
  EXPECT_EQ(job.read(IoReadImageBuffer), JpegSuccess);
  EXPECT_EQ(job.job.properties.first_pass, 0);
  EXPECT_GT(job.job.properties.jpeg_width, 0);
  EXPECT_EQ(job.job.properties.quant_defined & 1, 1);
}

TEST(TableReads, ScansWithoutHuffmanTablesUseTheStandardOnes) {
  // A motion-JPEG frame: no DHT at all.
  JpegBuilder b;
  // DC category 0 (00), end of block (1010), padding ones.
  b.soi().dqt(0).gray_frame().sos({{1, 0, 0}}).raw({0x2B}).eoi();
  BufferJob job(b.data);
  std::vector<uint8_t> pixels(64);
  job.job.out_pixels = pixels.data();
  job.job.out_width = 8;
  job.job.out_height = 8;
  job.job.out_channels = 1;
  job.job.out_color = ColorGray;
  job.job.jpeg_color = ColorGray;
  job.job.jpeg_channels = 1;
  EXPECT_EQ(job.read(IoReadImageBuffer), JpegSuccess);
  EXPECT_EQ(job.job.properties.huff_defined, 0x11) << "DC 0 and AC 0 from Annex K";
  EXPECT_EQ(job.job.properties.dc_tables[0].lookahead[0] >> 8 & 15, 2u)
      << "the standard DC luminance table codes category 0 as 00";
}

TEST(ThumbnailReads, JfifAndJfxxThumbnailsAreWritten) {
  struct Case {
    const char* file;
    int32_t width, height;
  };
  for (const Case& c :
       {Case{"generated/jfif_thumb.jpg", 16, 12}, Case{"generated/jfxx_thumb_rgb.jpg", 10, 7},
        Case{"generated/jfxx_thumb_palette.jpg", -1, -1}}) {
    const std::string path = test_data(c.file);
    std::vector<uint8_t> rgb(64 * 64 * 3, 0xAB), bgr(64 * 64 * 3, 0xAB);
    for (int32_t color : {ColorRgb, ColorBgr}) {
      BufferJob job({});
      job.job.file_name = path.c_str();
      std::vector<uint8_t>& out = color == ColorRgb ? rgb : bgr;
      job.job.out_pixels = out.data();
      job.job.out_width = 64;
      job.job.out_height = 64;
      job.job.out_color = color;
      ASSERT_EQ(job.read(IoReadThumbnailFile), JpegSuccess) << c.file;
      if (c.width > 0) {
        EXPECT_EQ(job.job.thumb_width, c.width) << c.file;
        EXPECT_EQ(job.job.thumb_height, c.height) << c.file;
      } else {
        EXPECT_GT(job.job.thumb_width, 0) << "palette thumbnails are read by type 20";
      }
    }
    // Written where the thumbnail lies, untouched beyond; BGR is RGB swapped.
    BufferJob info({});
    info.job.file_name = path.c_str();
    info.job.out_pixels = rgb.data();
    info.job.out_width = 64;
    info.job.out_height = 64;
    info.job.out_color = ColorRgb;
    std::vector<uint8_t> again(rgb);
    info.job.out_pixels = again.data();
    ASSERT_EQ(info.read(IoReadThumbnailFile), JpegSuccess);
    const int32_t w = info.job.thumb_width, h = info.job.thumb_height;
    EXPECT_EQ(rgb[3 * w], 0xAB) << "the row ends with the thumbnail";
    EXPECT_EQ(rgb[64 * 3 * h], 0xAB) << "the rows end with the thumbnail";
    for (int i = 0; i < w * 3; i += 3) {
      EXPECT_EQ(rgb[i], bgr[i + 2]);
      EXPECT_EQ(rgb[i + 1], bgr[i + 1]);
    }
  }
}

TEST(ThumbnailReads, ThumbnailLargerThanTheImageIsRefused) {
  const std::string path = test_data("generated/jfif_thumb.jpg");  // 16x12
  std::vector<uint8_t> pixels(15 * 12 * 3 + 16, 0xAB);
  BufferJob job({});
  job.job.file_name = path.c_str();
  job.job.out_pixels = pixels.data();
  job.job.out_width = 15;
  job.job.out_height = 12;
  job.job.out_color = ColorRgb;
  EXPECT_EQ(job.read(IoReadThumbnailFile), JpegOutputTooSmall);
  for (uint8_t byte : pixels) ASSERT_EQ(byte, 0xAB) << "nothing was written";
  job.job.out_width = 16;
  job.job.out_height = -11;
  EXPECT_EQ(job.read(IoReadThumbnailFile), JpegOutputTooSmall);
}

TEST(InputStream, MarkerSearchFillBytesAndStuffing) {
  std::vector<uint8_t> bytes = {0x12, 0xFF, 0x00, 0x34, 0xFF, 0xFF, 0xFF, 0xD3, 0xFF};
  InputStream stream{};
  stream.data_start = bytes.data();
  stream.data_size = static_cast<int32_t>(bytes.size());
  stream_reset(&stream);
  int32_t code = 0;
  ASSERT_EQ(next_marker(&stream, &code), JpegSuccess);
  EXPECT_EQ(code, 0xD3) << "FF 00 is data, FF FF FF D3 a marker after fill bytes";
  EXPECT_EQ(stream.consumed, 8);
  ASSERT_EQ(next_marker(&stream, &code), JpegSuccess);
  EXPECT_EQ(code, 256) << "0xFF as the last byte: no more markers";
}

TEST(TableReads, CallerTablesFeedAnAbbreviatedImage) {
  // The tables come from the caller, the image carries none.
  JpegBuilder image;
  image.soi().gray_frame().sos({{1, 0, 0}}).raw({0x00}).eoi();
  BufferJob job(image.data);
  std::vector<uint8_t> pixels(64);
  job.job.out_pixels = pixels.data();
  job.job.out_width = 8;
  job.job.out_height = 8;
  job.job.out_channels = 1;
  job.job.out_color = ColorGray;
  job.job.jpeg_color = ColorGray;
  job.job.jpeg_channels = 1;
  uint8_t quant[64];
  for (int i = 0; i < 64; ++i) quant[i] = static_cast<uint8_t>(i + 1);  // zig-zag order
  JPEG_PROPERTIES& p = job.job.properties;
  p.caller_quant_tables = 1;
  p.quant_exchange[0].values = quant;
  p.quant_id_bound = 1;
  uint8_t counts[16] = {0, 1};
  uint8_t symbols[1] = {0};
  p.caller_huff_tables = 1;
  p.huff_exchange[1].counts = counts;  // AC table 0: entry 2 × 0 + 1
  p.huff_exchange[1].symbols = symbols;
  p.huff_exchange[1].table_class = 1;
  p.huff_id_bound = 1;
  job.read(IoReadAbbreviatedBuffer);
  EXPECT_EQ(p.quant_defined & 1, 1);
  EXPECT_EQ(p.quant_tables[0].values[0], 1);
  EXPECT_EQ(p.quant_tables[0].values[8], 3) << "zig-zag position 2 lands at natural index 8";
  EXPECT_EQ(p.ac_tables[0].lookahead[0] >> 8 & 15, 2u) << "the caller's AC table, not Annex K's";
  // A caller table the builder refuses fails the read with -6.
  uint8_t bad_counts[16] = {3};
  p.huff_exchange[1].counts = bad_counts;
  EXPECT_EQ(job.read(IoReadAbbreviatedBuffer), JpegBadHuffmanTable);
}

TEST(OutputSetup, McuGeometryFollowsTheSamplingFactors) {
  struct Case {
    const char* file;
    int32_t mcus_per_row, mcu_rows, mcu_width, mcu_height;
  };
  for (const Case& c :
       {Case{"generated/base_420.jpg", 20, 15, 16, 16},
        Case{"generated/base_422.jpg", 20, 30, 16, 8}, Case{"generated/base_411.jpg", 9, 17, 32, 8},
        Case{"generated/odd_17x17_420.jpg", 2, 2, 16, 16},
        Case{"generated/gray.jpg", 40, 30, 8, 8}}) {
    BufferJob job(read_file(test_data(c.file)));
    ASSERT_EQ(job.read(IoReadParamsBuffer), JpegSuccess) << c.file;
    const JPEG_PROPERTIES& p = job.job.properties;
    EXPECT_EQ(p.mcus_per_row, c.mcus_per_row) << c.file;
    EXPECT_EQ(p.mcu_rows, c.mcu_rows) << c.file;
    EXPECT_EQ(p.frame.mcu_width_px, c.mcu_width) << c.file;
    EXPECT_EQ(p.frame.mcu_height_px, c.mcu_height) << c.file;
    EXPECT_EQ(p.frame.frame_mcu_count, c.mcus_per_row * c.mcu_rows) << c.file;
  }
}

TEST(TableReads, AFileWithoutItsHuffmanTablesDecodesWithTheStandardOnes) {
  // This encoder's tables are those of Annex K: without its DHT segments, as a
  // camera's motion-JPEG frame would come, the file decodes to the same image.
  const std::vector<uint8_t> data = read_file(test_data("generated/base_420.jpg"));
  std::vector<uint8_t> stripped(data.begin(), data.begin() + 2);
  size_t at = 2;
  while (at + 4 <= data.size()) {
    if (data[at + 1] == 0xDA) {
      stripped.insert(stripped.end(), data.begin() + at, data.end());
      break;
    }
    const size_t length = (size_t{data[at + 2]} << 8 | data[at + 3]) + 2;
    if (data[at + 1] != 0xC4)
      stripped.insert(stripped.end(), data.begin() + at, data.begin() + at + length);
    at += length;
  }
  ASSERT_LT(stripped.size(), data.size());
  std::vector<uint8_t> a(320 * 240 * 3), b(320 * 240 * 3);
  for (auto* pair : {&a, &b}) {
    BufferJob job(pair == &a ? data : stripped);
    ASSERT_EQ(job.read(IoReadParamsBuffer), JpegSuccess);
    job.job.out_pixels = pair->data();
    job.job.out_width = 320;
    job.job.out_height = 240;
    job.job.out_color = ColorRgb;
    ASSERT_EQ(job.read(IoReadImageBuffer), JpegSuccess);
  }
  EXPECT_EQ(a, b);
}
