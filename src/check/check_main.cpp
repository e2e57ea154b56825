// quarnel-check: reads an NTX index once and reports every fault of its
// tree, and of the index against its dBase table when one is given, then a
// verdict; status 0 sound, 1 damaged, 2 not checked at all.
#include "check_run.h"
#include "platform.h"
#include "report.h"

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) end_with_error("Use: quarnel-check INDEX [TABLE]", "", "", 2);
    CheckRun run;
    open_check(run, argv[1], argc == 3 ? argv[2] : nullptr);
    run_check(run);
    put_verdict(run);
    close_index();
    const bool written = flush_report();
    end_process(!written ? 2 : run.check.counts.faults == 0 ? 0 : 1);
}
