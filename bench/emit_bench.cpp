// Throughput of the event channel: lines per second through emit() from 1 and 8 threads at once
// into /dev/null, for a typical "partial" line.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include "event_output.h"

namespace {

kavri::EventOutput& output() {
  static kavri::EventOutput instance(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  return instance;
}

void emitPartial(benchmark::State& state) {
  const kavri::Event event{{"event", "partial"},
                           {"speaker", "mic"},
                           {"text", "Go forward ten meters and then turn left at the corner"}};
  for (auto _ : state) output().emit(event);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(emitPartial)->Threads(1)->Threads(8)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
