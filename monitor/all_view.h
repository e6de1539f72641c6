// `zpr_monitor --all`: every job on the host in one live table.
#pragma once

// Sets the screen up, shows the table until q or Q (Enter opens the
// selected job's live page, whose q comes back), ends the screen and
// returns the exit status: 0, or 1 when the terminal cannot be set up.
int run_all_view();
