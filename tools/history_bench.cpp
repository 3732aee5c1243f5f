// The cost of the update history: appends of typical records to a history of
// HISTORY_KEEP records (the rotation included), and the read of a port's last
// record, as the pages do it.  Works on the tree under ROOT (ROOT + the fixed
// path), like the simulated programs.
//
//   history_bench ROOT fill N      appends N typical records, untimed
//   history_bench ROOT time N      appends N records and reads the last one
//                                  N times; prints the figures
#include "common/history.h"
#include "common/outcome.h"
#include "common/platform.h"
#include "common/ports.h"
#include "common/utc_time.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace {

const char *root = "";

double now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

OutcomeRecord typical(int i) {
    OutcomeRecord r{};
    r.port = 1 + i % 2;
    std::snprintf(r.image, sizeof r.image, "V1a2a3c4b5b6b7o.hex");
    std::snprintf(r.signer, sizeof r.signer, "unsigned");
    utc_now_iso8601(r.start, sizeof r.start);
    utc_now_iso8601(r.end, sizeof r.end);
    r.duration = 108.152;
    const Outcome &o = outcome_of(i % 5 == 0 ? EXIT_STAGE_FAILED : EXIT_UPDATED, nullptr);
    r.status = o.status;
    std::snprintf(r.cause, sizeof r.cause, "%s", o.cause);
    std::snprintf(r.stage, sizeof r.stage, "%s", o.status == 0 ? "verify" : "flash");
    if (o.status != 0)
        std::snprintf(r.reason, sizeof r.reason, "read-back differs from what was written");
    std::snprintf(r.outcome, sizeof r.outcome, "%s", o.outcome);
    std::snprintf(r.action, sizeof r.action, "%s", o.action);
    r.before = {true, 0x01000000, true, "1a2a3b4b5b6b7o"};
    r.after = {true, 0x01010000, true, "1a2a3c4b5b6b7o"};
    std::snprintf(r.by, sizeof r.by, "%s", BY_WEB_PAGE);
    r.pid = 1000 + i;
    return r;
}

} // namespace

// The platform this tool needs: paths under ROOT.
const char *plat_path(const char *fixed, char *buf, std::size_t size) {
    std::snprintf(buf, size, "%s%s", root, fixed);
    return buf;
}

int main(int argc, char **argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: history_bench ROOT fill|time N\n");
        return 1;
    }
    root = argv[1];
    int n = std::atoi(argv[3]);
    char reason[800];
    if (std::strcmp(argv[2], "fill") == 0) {
        for (int i = 0; i < n; ++i)
            if (!history_append(typical(i), reason, sizeof reason)) {
                std::fprintf(stderr, "history_bench: %s\n", reason);
                return 1;
            }
        return 0;
    }
    double total = 0, worst = 0;
    for (int i = 0; i < n; ++i) {
        OutcomeRecord r = typical(i);
        double start = now_ms();
        bool ok = history_append(r, reason, sizeof reason);
        double took = now_ms() - start;
        if (!ok) {
            std::fprintf(stderr, "history_bench: %s\n", reason);
            return 1;
        }
        total += took;
        if (took > worst)
            worst = took;
    }
    double read_total = 0;
    OutcomeRecord last;
    for (int i = 0; i < n; ++i) {
        double start = now_ms();
        if (!history_last(PORT_TABLE[i % PORT_COUNT], &last))
            return 1;
        read_total += now_ms() - start;
    }
    std::printf("record append: %.3f ms mean, %.3f ms worst, over %d appends\n", total / n, worst,
                n);
    std::printf("last record of a port: %.3f ms mean over %d reads\n", read_total / n, n);
    return 0;
}
