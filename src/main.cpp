// tunefuse: makes one ZX Spectrum tape from a game tape, a PT3 music module and an optional
// loading screen, with a BASIC loader that starts the music player and then the game.
#include "driver/run_state.hpp"
#include "host/command_line.hpp"

int main(int argc, char** argv) {
    host::remember_arguments(argc, argv);
    driver::RunState run;
    return driver::run_build(run);
}
