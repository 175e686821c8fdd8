// The program's entry point.
#include "app/run_control.h"

int main(int argc, char** argv) { return RunDorvalex(argc, argv); }
