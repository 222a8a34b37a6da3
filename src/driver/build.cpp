#include "driver/stages.hpp"

namespace driver {

int run_build(RunState& run) {
    start_up(run);
    if (!wait_for_our_turn(run)) return end_process(run);
    show_banner(run);
    choose_music(run);
    copy_music_to_work_folder(run);
    compress_music(run);
    read_music_credits(run);
    detect_loading_screen(run);
    const loader::GameStart game = check_game_tape(run);
    prepare_game_start(run, game);
    create_loader(run);
    report_music(run);
    assemble_player(run);
    build_tapes(run);
    write_output_tape(run, check_music_under_game(run, game));
    clean_up(run);
    launch_tape(run);
    say_goodbye(run);
    return end_process(run);
}

}  // namespace driver
