// quarnel-check: reads an NTX index once and reports every fault of its
// tree, and of the index against its dBase table when one is given, then a
// verdict; status 0 sound, 1 damaged, 2 not checked at all.
#include "check_run.h"
#include "platform.h"
#include "report.h"

int main(int argc, char** argv) {
    const CommandLine files = read_command_line(argc, argv);
    CheckRun run;
    open_check(run, files.index, files.table);
    run_check(run);
    put_verdict(run);
    close_index();
    close_table();
    const bool written = flush_report();
    end_process(!written ? 2 : run.check.counts.faults == 0 ? 0 : 1);
}
