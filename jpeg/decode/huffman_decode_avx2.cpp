// The batch decoder with AVX2 and BMI2: the sequential decoder of the BMI2
// file (the same code, compiled here for both), whose pipeline step
// transforms blocks of the accurate 8x8 transform inline: the call, and
// the decoder's registers kept across it, cost a few percent of a read.

#include "jpeg/decode/huffman.h"
#include "jpeg/decode/huffman_sequential.h"
#include "jpeg/decode/idct.h"
#include "jpeg/decode/idct_accurate_avx2.h"

namespace jpegcodec {

namespace {

// A pipeline's step (see BatchStep), with the accurate 8x8 transform
// inlined; the same work as the step's run.
struct TransformStep {
  BatchStep* step;
  [[gnu::always_inline]] void operator()(const int16_t* decoded_end) const {
    if (step == nullptr) return;
    if (step->transforms == nullptr) {
      step->run(step, decoded_end);
      return;
    }
    while (step->next + 64 < decoded_end) {
      void (*transform)(int16_t*);
      int16_t* const block = take_next(*step, &transform);
      if (transform == idct_accurate_8x8_avx2) {
        accurate_8x8_avx2(block);
      } else {
        transform_block(transform, block);
      }
    }
  }
};

}  // namespace

int32_t decode_mcus_avx2(InputStream* stream, const SequentialBlock* plan, int32_t count,
                         int32_t* dc_pred, int16_t* blocks, int32_t stride, int32_t mcus,
                         JpegStatus* status, BatchStep* step, BatchMarks* marks) {
  return sequential_mcus(stream, plan, count, dc_pred, blocks, stride, mcus, status,
                         TransformStep{step}, marks);
}

}  // namespace jpegcodec
