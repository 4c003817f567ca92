// Cost of rebuilding the knot's tube, which a morph does on every pass and a
// slider drag on every move.

#include <benchmark/benchmark.h>

#include "knot_shape.h"

static void BM_RebuildMesh(benchmark::State& state) {
  KnotShape knot;
  knot.lock();
  knot.set_resolution(static_cast<uint32_t>(state.range(0)), static_cast<uint32_t>(state.range(1)));
  knot.set_pq(2.0f, 3.0f);
  knot.build_mesh();  // the first build allocates; the loop measures rebuilds
  float p = 2.0f;
  for (auto _ : state) {
    p = p == 2.0f ? 2.001f : 2.0f;
    knot.set_pq(p, 3.0f);
    knot.build_mesh();
    benchmark::DoNotOptimize(knot.vertices[0]);
  }
  knot.unlock();
  state.SetItemsProcessed(state.iterations() * knot.vertex_count);
}
BENCHMARK(BM_RebuildMesh)->Args({150, 30})->Args({300, 60})->Unit(benchmark::kMicrosecond);

static void BM_FirstBuild(benchmark::State& state) {
  for (auto _ : state) {
    KnotShape knot;
    knot.lock();
    knot.build_mesh();
    knot.unlock();
    benchmark::DoNotOptimize(knot.indices[0]);
  }
}
BENCHMARK(BM_FirstBuild)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
