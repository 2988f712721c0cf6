// Compiled by the export probes of tests/layers/CMakeLists.txt: it includes the
// one header KVX_PROBE_HEADER names, so whether it compiles tells whether the
// probe's link list makes that header visible.
#include KVX_PROBE_HEADER

int kvx_export_probe() { return 0; }
