// How a walk of the kernel agent grows with the table: the snapshot is
// sorted once, and each GETNEXT then follows from the previous answer's
// place, so n rows cost O(n log n) and the time per row stays nearly flat
// as n grows.
#include <benchmark/benchmark.h>

#include <vector>

#include "mib/linux/kernel_agent.h"
#include "mib/linux/row_source.h"
#include "mib/walk.h"

namespace {

using connwalk::TcpEntry;
using connwalk::UdpEntry;

size_t gRows = 0;

bool ReadTcp(void *, std::vector<TcpEntry> *rows) {
    rows->clear();
    // Filled in reverse so that the agent's own sort does real work.
    for (size_t i = gRows; i-- > 0;) {
        const auto high = static_cast<uint8_t>(i >> 16);
        const auto mid = static_cast<uint8_t>(i >> 8);
        const auto low = static_cast<uint8_t>(i);
        rows->push_back(TcpEntry{5, {{10, high, mid, low}}, static_cast<int32_t>(1024 + i % 60000),
                                 {{192, 0, 2, low}}, 443});
    }
    return true;
}

bool ReadUdp(void *, std::vector<UdpEntry> *rows) {
    rows->clear();
    return true;
}

bool ReadCounters(void *, connwalk::kernel::MibCounters *) { return true; }

void BM_WalkTcpTable(benchmark::State &state) {
    gRows = static_cast<size_t>(state.range(0));
    connwalk::kernel::RowSource source{nullptr, ReadTcp, ReadUdp, ReadCounters};
    const connwalk::AgentStarter starter = connwalk::kernel::RowSourceAgent(&source);
    std::vector<TcpEntry> entries;
    for (auto _ : state) {
        connwalk::AgentGuard agent;
        if (!connwalk::StartAgent(starter, &agent.agent) ||
            connwalk::WalkTcpTable(agent.agent, entries) != connwalk::WalkEnd::Complete ||
            entries.size() != gRows) {
            state.SkipWithError("walk failed");
            break;
        }
        benchmark::DoNotOptimize(entries.data());
    }
    state.SetComplexityN(state.range(0));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

}  // namespace

BENCHMARK(BM_WalkTcpTable)->RangeMultiplier(4)->Range(1 << 10, 1 << 18)->Complexity()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
