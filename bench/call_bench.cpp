// The three calls that the command makes, timed inside one process against
// the machine's live tables: the TCP listing, a lookup of one local port,
// and the UDP listing. Each iteration is one whole call through the shared
// library's C interface: agent start, walk, texts.
//
//   call_bench [--port=N] [Google Benchmark options]
//
// --port names the local port that the lookup asks for (by default 0,
// which no connection uses, so the lookup walks the whole table).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "connwalk.h"

namespace {

int32_t gPort = 0;

// Records in a listing: one backslash ends each.
long Records(const char *listing, int32_t length) {
    long records = 0;
    for (int32_t i = 0; i < length; ++i) {
        records += listing[i] == '\\' ? 1 : 0;
    }
    return records;
}

// Whole listing calls of `function`, counting the records of the last one.
void TimeListing(benchmark::State &state, int32_t(CONNWALK_CALL *function)(char *)) {
    std::vector<char> listing(CONNWALK_LISTING_SIZE);
    int32_t length = 0;
    for (auto _ : state) {
        length = function(listing.data());
        benchmark::DoNotOptimize(length);
    }
    state.counters["records"] = static_cast<double>(Records(listing.data(), length > 1 ? length : 0));
}

void BM_TcpListing(benchmark::State &state) { TimeListing(state, GetTCPEndpoints); }

void BM_TcpLocalPortLookup(benchmark::State &state) {
    char endpoint[CONNWALK_ENDPOINT_SIZE];
    char label[CONNWALK_STATE_SIZE];
    int32_t found = 0;
    for (auto _ : state) {
        found = GetTCPLocalPortInfo(gPort, endpoint, label, 0);
        benchmark::DoNotOptimize(found);
    }
    state.counters["found"] = found;
}

void BM_UdpListing(benchmark::State &state) { TimeListing(state, GetUDPEndpoints); }

BENCHMARK(BM_TcpListing)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TcpLocalPortLookup)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_UdpListing)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
    std::vector<char *> rest;
    for (int i = 0; i < argc; ++i) {
        if (i > 0 && std::strncmp(argv[i], "--port=", 7) == 0) {
            gPort = static_cast<int32_t>(std::strtol(argv[i] + 7, nullptr, 10));
        } else {
            rest.push_back(argv[i]);
        }
    }
    int count = static_cast<int>(rest.size());
    benchmark::Initialize(&count, rest.data());
    if (benchmark::ReportUnrecognizedArguments(count, rest.data())) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
