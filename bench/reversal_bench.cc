// Rewrites one backout file last-first through the tool's own reversal, so that bench/run can
// time the reversal and its peak memory apart from a script run.
//   reversal_bench BACKOUT_FILE
#include <cstdio>

#include "backout/reversal.h"
#include "script/script_state.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s BACKOUT_FILE\n", argv[0]);
    return 2;
  }
  ScriptState state;
  return ReverseBackout(argv[1], {}, /*quiet=*/true, state) ? 0 : 1;
}
