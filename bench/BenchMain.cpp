// Benchmark runner: wxBase initialised (sockets and timers use its event loop).
#include <benchmark/benchmark.h>

#include <wx/init.h>
#include <wx/log.h>

int main(int argc, char** argv) {
    wxInitializer init;
    if (!init.IsOk())
        return 1;
    delete wxLog::SetActiveTarget(new wxLogStderr);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
