#pragma once

// line-sim compare and line-sim merge: result sets read back, run by run.

namespace line_sim {

// `line-sim compare A B [--require EXPR]`; argv[0] is "compare". Returns the exit status.
int compare(int argc, char** argv);
// `line-sim merge DIR ... -o DIR [--plot METRIC]`; argv[0] is "merge".
int merge(int argc, char** argv);

}  // namespace line_sim
