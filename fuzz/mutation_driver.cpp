// A deterministic stand-in for a coverage-guided fuzzer: takes each seed
// file, applies seeded random mutations (bit flips, marker bytes, cuts,
// repeats, length fields) and feeds every result to the fuzz target. Run in
// the sanitizer build, it finds out-of-bounds accesses without libFuzzer.
//
//   jpeg_mutation_fuzz [--iterations N] [--seed S] FILE...

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<uint8_t> mutate(std::vector<uint8_t> data, std::mt19937& random) {
  const int edits = 1 + static_cast<int>(random() % 4);
  for (int e = 0; e < edits && !data.empty(); ++e) {
    const size_t at = random() % data.size();
    switch (random() % 7) {
      case 0:  // flip a bit
        data[at] ^= static_cast<uint8_t>(1u << (random() % 8));
        break;
      case 1:  // a random byte
        data[at] = static_cast<uint8_t>(random());
        break;
      case 2:  // a marker prefix
        data[at] = 0xFF;
        break;
      case 3:  // cut the rest
        data.resize(at);
        break;
      case 4: {  // repeat a piece
        const size_t length = std::min<size_t>(random() % 64 + 1, data.size() - at);
        std::vector<uint8_t> piece(data.begin() + at, data.begin() + at + length);
        data.insert(data.begin() + (random() % data.size()), piece.begin(), piece.end());
        break;
      }
      case 5:  // an extreme value in a 16-bit field
        data[at] = (random() & 1) ? 0xFF : 0x00;
        if (at + 1 < data.size()) data[at + 1] = (random() & 1) ? 0xFF : 0x00;
        break;
      default:  // remove a piece
        data.erase(data.begin() + at,
                   data.begin() + at + std::min<size_t>(random() % 16 + 1, data.size() - at));
        break;
    }
  }
  return data;
}

}  // namespace

int main(int argc, char** argv) {
  long iterations = 200;
  unsigned seed = 1;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--iterations") == 0 && i + 1 < argc) {
      iterations = std::strtol(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) {
      seed = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
    } else if (std::strcmp(argv[i], "--help") == 0) {
      std::puts("Usage: jpeg_mutation_fuzz [--iterations N] [--seed S] FILE...");
      return 0;
    } else {
      files.push_back(argv[i]);
    }
  }
  if (files.empty()) {
    std::fputs("jpeg_mutation_fuzz: no seed files\n", stderr);
    return 2;
  }
  std::mt19937 random(seed);
  long runs = 0;
  for (const std::string& file : files) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<uint8_t> original(std::istreambuf_iterator<char>(in), {});
    LLVMFuzzerTestOneInput(original.data(), original.size());
    for (long i = 0; i < iterations; ++i) {
      const std::vector<uint8_t> input = mutate(original, random);
      LLVMFuzzerTestOneInput(input.data(), input.size());
      ++runs;
    }
  }
  std::printf("%zu inputs and %ld mutations of them read without a crash\n", files.size(), runs);
  return 0;
}
