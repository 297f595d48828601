// end_without_death_hooks BREVANT PUBLISHER: loads Brevant and the farm publisher as brevant-host
// does, says "loaded", and when its standard input closes returns from main without running the
// death hooks, as a host that ends in the middle of a render does. The publisher's static objects
// then go with the process: on Windows inside DllMain, after ExitProcess ended the link's thread.
#include <cstdio>
#include <string>

#include "host/core/StandInHost.h"

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    brevant_host::SetMainThread();
    brevant_host::SetLogSink(brevant_host::LogSink::Off);
    std::string error;
    for (const char* library : {argv[1], argv[2]}) {
        brevant_host::LoadedPlugin plugin;
        if (!brevant_host::LoadPlugin(library, &plugin, &error) || plugin.entryResult != 0) {
            std::fprintf(stderr, "%s: %s\n", library, error.c_str());
            return 2;
        }
    }
    std::printf("loaded\n");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    return 0;
}
