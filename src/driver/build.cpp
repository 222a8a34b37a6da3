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
    std::vector<Tune> tunes = gather_tunes(run);
    detect_loading_screen(run);
    loader::GameStart game = check_game_tape(run);
    if (run.game_tape_missing) game = preview_game(run, tunes);
    prepare_game_start(run, game);
    create_loader(run);
    report_music(run);
    Tune effects = take_effects(run);
    place_tunes(run, tunes, effects);
    assemble_player(run);
    build_tapes(run);
    const std::vector<std::uint8_t> music = music_blocks(run, tunes, effects);
    write_output_tape(run, music, check_music_under_game(run, game, music, tunes, effects));
    write_music_notes(run, tunes);
    clean_up(run, tunes);
    launch_tape(run);
    say_goodbye(run);
    return end_process(run);
}

}  // namespace driver
