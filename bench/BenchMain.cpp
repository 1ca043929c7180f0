// Entry point of the benchmark suite. Before anything is measured the
// process starts and joins one thread: until a process has had a second
// thread, glibc takes its single-threaded shortcuts (no atomic instructions
// in mutexes, malloc and reference counts), which makes every lock look about
// three times cheaper than it is in a host, where many threads run.
#include <thread>

#include <benchmark/benchmark.h>

int main(int argc, char** argv) {
  std::thread([] {}).join();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
