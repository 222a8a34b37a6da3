; tunefuse.asm - the music player code block of a tunefuse tape.
;
; Assembled by the build from the program directory:
;     pasmo --err asm/tunefuse.asm tunefuse.bin
; INCLUDE and INCBIN names are relative to the working directory, so the PT3 player is found
; as asm/pt3_player.asm and the build's work files as bin/tunes.asm, bin/music.pt3.zx7,
; bin/author.bin and bin/launch.bin.
;
; The BASIC loader does CLEAR 25499, loads this block at 25500, calls 25500, loads the game,
; calls 25511 and starts the game at 32000. Everything the player keeps therefore lies in
; 25500..31999; what only init reads may lie past 31999 (below $8000), as the game loads over
; it later. The first call of 25511 also finishes the game's loading as bin/launch.bin says
; (its further blocks, POKEs, colours, a jump to its entry at 32000): see "the game's launch".
;
; Entry points (fixed addresses; games may call them too):
;     25500  init:   show the credits, load and unpack the tunes, set up tune 1, silence the AY.
;                    Once only: it reads the tunes' blocks from the tape.
;     25503  play:   play one frame of the playing tune (for games with their own interrupt
;                    handler); for a banked tune, or banked sound effects, interrupts are off
;                    while it runs and come back as they were
;     25506  stop:   silence the AY; if the music played in the background, back to IM 1
;     25509  word:   address of the playing tune's module ($C000..$FFFF when it lies in a bank)
;     25511  start:  play the music in the background: one frame on every interrupt (IM 2);
;                    the first call launches the game first
;     25514  switch: A = n plays tune n (numbered as the build lists them; 1 is the tune init
;                    sets up) from its start: the AY is silenced and the next frame played is
;                    the tune's first. Nothing happens for n = 0, n past the last tune, or a tune
;                    in a RAM bank where init found no paging. Interrupts are off while it runs
;                    (about 56,000 T-states at most, the bench measures it: an interrupt that
;                    comes meanwhile is lost) and come back as they were.
;     25519  byte:   the RAM bank of the playing tune, 0 when it lies in main memory
;     25520  effect: A = n, B = channel (0..2, else C): sound effect n of sfx.afb from the next
;                    frame played, in place of the one playing (asm/ayfx_player.asm, ayfx_start)
;     25523  effects off: the playing effect stops (ayfx_stop). Both return at once when there
;                    is no sfx.afb (effects_size 0 in bin/tunes.asm); 25520 also when sfx.afb
;                    lies in a RAM bank (effects_bank) and init found no paging
;
; The tunes (bin/tunes.asm, written by the build): tune 1 goes in main memory when it has at
; most max_module_size bytes and then plays on every Spectrum with an AY; every other tune, and
; a larger tune 1, goes in RAM banks 6, 4, 3 and 1 of a 128K Spectrum at the address the build
; chose, up to 16384 bytes each. The compressed music of tune 1 in main memory travels in this
; block; that of each banked tune follows it on the tape as a headerless block, which init
; loads and unpacks into its bank. Where init finds no paging (a 48K, or a 128K locked in 48
; BASIC) it loads no block (the loader's LOAD ""CODE passes over them) and the banked tunes are
; absent; when tune 1 is one of them it says that the music needs a 128K and the game runs
; silent. The sound effects (bin/sfx.afb) lie in main memory, or, when they do not fit there, in
; a RAM bank after the tunes of that bank: their block comes last and loads as a tune's does.
;
; Memory plan, from 25500 upwards:
;     jump table (with the paging flag, the builder's bank and the playing tune's bank), the
;     start code;
;     code used only until the first call of start (the unpacker, the end of init, the game's
;     launch and its table), which the IM 2 vector table at 25600..25856 replaces when the
;     background playback starts; below the table, the bytes of the unpacker become the
;     player's stack once init is done;
;     the player's flags, the stop code, small routines of the PT3 player, then the interrupt
;     handler at 25957 (the address every vector byte, 101, points to), then the rest of the
;     PT3 player, the switch, the tune table and the paging code;
;     with sound effects, the effect player and bin/sfx.afb (unless it lies in a RAM bank);
;     tune 1 in main memory: the module buffer, then the player's work area;
;     tune 1 banked: the PT3 table builder, then the work area.
; The PT3 player's table builder (tone and level tables, which depend on the module) is needed
; again by every switch. With tune 1 in main memory it is kept in the first of the tunes'
; banks with room for it at the top (ending below the top page), and runs with that bank paged in;
; where there is no paging, only tune 1 ever plays and its tables, once built, stay.
; Init's own code and the credits lie at the bottom of the module buffer (or over the work
; area), the compressed music of tune 1 at its top, placed so that it ends a safe distance after
; where the unpacked module ends: unpacking then runs in place from the bottom of the buffer and
; never overwrites compressed bytes it has yet to read. The work area is filled only once the
; music is unpacked, so it may lie over the compressed bytes.

        include "bin/tunes.asm"

load_address    equ 25500
game_address    equ 32000

max_module_size equ 3890            ; largest tune 1 for main memory (checked at the end)
max_banked_module_size equ 16384    ; one RAM bank
music_bank_number equ 6             ; the first bank the build fills; init tries paging with it
music_bank_address equ $c000
player_stack_size equ 28            ; the most a banked frame or a switch needs of its stack
tables_room     equ 379             ; the PT3 table builder's bytes (checked at the end)
bankm_sysvar    equ 23388           ; BANKM: the 128 ROM's copy of the last write to $7FFD
paging_port     equ $7ffd           ; write only: a read on the 128 and +2 pages at random
paging_kept_bits equ %11011000      ; ROM, screen and unused bits; the lock bit is never set

ay_select       equ $fffd           ; AY register select port
ay_data_high    equ $bf             ; high byte of the AY data port $bffd

rom_frame_interrupt equ $0038       ; the ROM's IM 1 routine: FRAMES and the keyboard
rom_load_bytes  equ $0556           ; LD-BYTES, the same in the 48K ROM and the 128's 48 BASIC ROM
bordcr_sysvar   equ 23624           ; BORDCR: the border colour times 8, the lower screen's colours
attr_p_sysvar   equ 23693           ; ATTR_P, then MASK_P: the permanent colours
attr_t_sysvar   equ 23695           ; ATTR_T: the temporary colours
launch_table_max equ 64             ; the longest bin/launch.bin the build writes
vector_table    equ $6400           ; 257 bytes of vector_byte: I = $64 (25600)
vector_byte     equ $65             ; every vector reads $6565: frame_interrupt

chars_sysvar    equ 23606           ; CHARS: the font address less 256
screen_pixels   equ $4000
screen_attrs    equ $5800
credits_attr    equ $47             ; bright white ink on black paper
credit_columns  equ 32
credit_rows_max equ 4

; ---- where the tunes lie ------------------------------------------------------------------
tune1_banked    equ tune1_bank != 0
effects_banked  equ effects_bank != 0   ; sfx.afb in a RAM bank, loaded and unpacked as a tune
loads_blocks    equ tune_count > 1 || tune1_banked || effects_banked  ; init reads blocks from tape

; The last byte the tunes take in each bank ($BFFF: none), for the builder's place.
bank6_last      defl $bfff
bank4_last      defl $bfff
bank3_last      defl $bfff
bank1_last      defl $bfff
tune_in_bank    macro tbank, tlast
        if tbank = 6 && tlast > bank6_last
bank6_last      defl tlast
        endif
        if tbank = 4 && tlast > bank4_last
bank4_last      defl tlast
        endif
        if tbank = 3 && tlast > bank3_last
bank3_last      defl tlast
        endif
        if tbank = 1 && tlast > bank1_last
bank1_last      defl tlast
        endif
        endm
tune_fits       macro tsize
        if tsize > max_banked_module_size
        .warning The music does not fit: a PT3 module may have at most 16384 bytes, one RAM bank of a 128K Spectrum (tune 1 plays on every Spectrum when it has up to 3890 bytes).
        .error A tune does not fit in one RAM bank
        endif
        endm
        tune_fits tune1_size
        tune_fits tune2_size
        tune_fits tune3_size
        tune_fits tune4_size
        tune_fits tune5_size
        tune_fits tune6_size
        tune_fits tune7_size
        tune_fits tune8_size
        tune_fits tune9_size
        tune_in_bank tune1_bank, tune1_address + tune1_size - 1
        tune_in_bank tune2_bank, tune2_address + tune2_size - 1
        tune_in_bank tune3_bank, tune3_address + tune3_size - 1
        tune_in_bank tune4_bank, tune4_address + tune4_size - 1
        tune_in_bank tune5_bank, tune5_address + tune5_size - 1
        tune_in_bank tune6_bank, tune6_address + tune6_size - 1
        tune_in_bank tune7_bank, tune7_address + tune7_size - 1
        tune_in_bank tune8_bank, tune8_address + tune8_size - 1
        tune_in_bank tune9_bank, tune9_address + tune9_size - 1
        tune_in_bank effects_bank, effects_address + effects_size - 1
        if effects_banked && (effects_size = 0 || effects_bank != 6 && effects_bank != 4 && effects_bank != 3 && effects_bank != 1)
        .error bin/tunes.asm: banked sound effects need a size and bank 6, 4, 3 or 1
        endif
        if effects_banked && (effects_address < music_bank_address || effects_size - 1 > $ffff - effects_address)
        .error bin/tunes.asm: the sound effects' address must keep them in $C000..$FFFF
        endif

; The builder's bank: the first of 6, 4, 3, 1 with room at its top; 0 when it needs none (it
; is resident, or runs once at init from free memory because tune 1 is the only tune).
builder_top     equ $ff00 - tables_room   ; (the top page stays free: a stack may lie there)
tables_bank     defl 0
        if !tune1_banked && tune_count > 1
        if bank1_last < builder_top
tables_bank     defl 1
        endif
        if bank3_last < builder_top
tables_bank     defl 3
        endif
        if bank4_last < builder_top
tables_bank     defl 4
        endif
        if bank6_last < builder_top
tables_bank     defl 6
        endif
        if tables_bank = 0
        .warning The music does not fit: the tunes fill RAM banks 6, 4, 3 and 1, and the player needs room for its set-up code at the top of one of them.
        .error The tunes leave no bank room for the player's set-up code
        endif
        endif

        org load_address

; ---- jump table: these addresses are the code block's contract --------------------------
; The kit's include files (include/tunefuse.inc and tunefuse.h) are made from these equ lines
; when the kit is built, and the table below must agree with them (checked at the end).
address_init    equ 25500
address_play    equ 25503
address_stop    equ 25506
address_module  equ 25509
address_start   equ 25511
address_tune    equ 25514
address_bank    equ 25519
address_effect  equ 25520
address_effects_off equ 25523
builder_bank_byte equ 25518         ; (the build's check reads it)

entry_init:     jp init             ; 25500
entry_play:     jp play_entry       ; 25503
entry_stop:     jp stop             ; 25506
        if tune1_banked
module_pointer: dw 0                ; 25509: set by every switch; 0 while no tune is set up
        else
module_pointer: dw module           ; 25509: set by every switch; on tape, where tune 1 will lie
        endif
entry_start:    jp start            ; 25511
entry_switch:   jp tune_switch      ; 25514
paging_ok:      db 0                ; 1 when init found that the banks page in
builder_bank:   db tables_bank      ; where the table builder lies: a bank, 0 main memory, $FF gone
music_bank:     db 0                ; 25519: set by every switch
        if effects_banked
entry_effect:   jp no_effects       ; 25520: init sets ayfx_start where it finds paging
entry_effects_off: jp ayfx_stop     ; 25523
        endif
        if effects_size && !effects_banked
entry_effect:   jp ayfx_start       ; 25520
entry_effects_off: jp ayfx_stop     ; 25523
        endif
        if !effects_size
entry_effect:   jp no_effects       ; 25520: no sfx.afb, no effects, nothing to do
entry_effects_off: jp no_effects    ; 25523
        endif

; ---- background playback -----------------------------------------------------------------

; Fills the vector table, keeps the I register of the caller and switches to IM 2. A second
; call while the music plays changes nothing, and nothing happens while no tune is set up
; (tune 1 banked, no paging). The first call, the loader's, starts with the game's launch.
start:
        ld a, (launch_due)
        or a
        call nz, launch             ; the first call only
        ld a, (module_pointer + 1)
        or a
        ret z
        ld a, (playing)
        or a
        ret nz
        di
        ld hl, vector_table         ; (a loop: fewer bytes than LDIR here, where bytes are short)
        ld b, l                     ; 256 times, then the 257th byte
start_fill:
        ld (hl), vector_byte
        inc hl
        djnz start_fill
        ld (hl), vector_byte
        ld a, i
        ld (saved_i), a
        ld a, vector_table / 256
        ld i, a
        im 2
        ld (playing), a             ; not 0
        ei
no_effects:                         ; (also the effect entries' RET when they have no effects)
        ret

resident_low_end:

; The player's stack, for what runs with a bank paged in (the game's stack may lie in
; $C000..$FFFF): the bytes from here to the vector table, which hold the start of the unpacker,
; used last by init before its set-up of tune 1, the stack's first use.
player_stack_end equ vector_table

; ---- code used only until the first start: the vector table takes its place -----------

; ---- ZX7 unpacker ------------------------------------------------------------------------
; HL = compressed data, DE = destination. Unpacks the whole stream; returns with DE just past
; the last byte written. A holds the current bit byte, shifted left, with a marker bit below
; the bits still unread, so that A becomes 0 exactly when the bit byte is used up.

zx7_unpack:
        ld a, $80
zx7_literal:
        ldi
zx7_next_item:
        call zx7_bit
        jr nc, zx7_literal
        push de                     ; a match: keep the destination while D and E work
        ld d, 0                     ; D counts the zero bits of the length
zx7_length_zeros:
        call zx7_bit
        jr c, zx7_length_lead
        inc d
        jr zx7_length_zeros
zx7_length_lead:
        bit 4, d                    ; 16 or more zeros: the end marker
        jr nz, zx7_done
        ld bc, 1                    ; the leading 1 of length - 1
        inc d
zx7_length_bits:
        dec d
        jr z, zx7_length_ready
        call zx7_bit
        rl c
        rl b
        jr zx7_length_bits
zx7_length_ready:
        inc bc                      ; BC = match length
        ld e, (hl)                  ; offset byte
        inc hl
        bit 7, e
        jr z, zx7_copy              ; short offset: D = 0, DE = offset - 1
        ld d, $10                   ; long offset: read 4 more bits into D, high bit first
zx7_offset_bits:
        call zx7_bit
        rl d
        jr nc, zx7_offset_bits
        inc d                       ; offset - 1 = (D + 1) * 128 + (E & 127)
        sla e
        srl d
        rr e
zx7_copy:
        ex (sp), hl                 ; HL = destination, stack = compressed pointer
        push hl
        scf
        sbc hl, de                  ; HL = destination - offset
        pop de
        ldir
        pop hl
        jr zx7_next_item
zx7_done:
        pop de
        ret

; Next bit of the stream into the carry flag.
zx7_bit:
        add a, a
        ret nz
        ld a, (hl)                  ; bit byte used up: take the next byte of the stream
        inc hl
        rla                         ; the carry (1) becomes the new marker bit
        ret
zx7_end:

; The end of init, which the unpacking of tune 1 into main memory would overwrite in the
; buffer: set up tune 1; a builder that ran from free memory is gone once the game loads.
init_finish:
        if tune1_banked
        ld a, 1
        call tune_switch            ; nothing when the bank cannot be paged
        ld a, (module_pointer + 1)
        or a
        jp nz, restore_interrupts
        call pt3_mute
        call show_needs_128k
        else
        ld hl, packed_music
        ld de, module
        call zx7_unpack
        ld a, 1
        call tune_switch
        ld hl, builder_bank
        xor a
        cp (hl)
        jr nz, init_finished
        dec (hl)                    ; $FF: no builder
init_finished:
        endif
        jp restore_interrupts

; ---- the game's launch: the first call of start, once -----------------------------------
; The loader calls start right after it has loaded the game's first code block and just
; before it jumps to 32000, so the first call finishes what the game's own loader would have
; done, as the build wrote it in bin/launch.bin:
;     0  border colour (0..7)       1  BORDCR          2  ATTR_P (also ATTR_T; MASK_P := 0)
;     3  flags: bit 0 clears the screen in ATTR_P's colours, bit 1 puts JP entry at 32000
;     4  word: the game's entry
;     6  steps, up to a 0 byte: 1, word address, word length: load the next tape block, a
;        headerless data block of exactly that length, with the ROM's LD-BYTES;
;        2, word address, byte value: POKE address, value
; The colours come after the loads because LD-BYTES flashes the border and puts it back from
; BORDCR. Changes AF, BC, DE, HL and IX; a load that fails stops with "R Tape loading error".

launch:
        xor a
        ld (launch_due), a
        ld hl, launch_table + 6
launch_step:
        ld a, (hl)
        inc hl
        or a
        jr z, launch_colours
        ld e, (hl)
        inc hl
        ld d, (hl)                  ; DE = address
        inc hl
        cp 1
        jr z, launch_load
        ldi                         ; POKE
        jr launch_step
launch_load:
        push de
        pop ix
        ld e, (hl)
        inc hl
        ld d, (hl)                  ; DE = length
        inc hl
        push hl
        ld a, $ff                   ; a data block
        scf                         ; loaded, not verified
        call rom_load_bytes
        pop hl
        jr c, launch_step
        rst 8
        db $1a                      ; R Tape loading error
launch_colours:
        ld hl, (launch_table)       ; L = border, H = BORDCR
        ld a, l
        out ($fe), a
        ld a, h
        ld (bordcr_sysvar), a
        ld hl, (launch_table + 2)   ; L = ATTR_P, H = flags
        ld a, l
        ld (attr_t_sysvar), a
        ld c, h
        ld h, 0
        ld (attr_p_sysvar), hl      ; ATTR_P, and MASK_P := 0
        rr c
        jr nc, launch_jump
        ld hl, screen_attrs + 767   ; the attributes from the last one down, then the pixels
        ld de, screen_attrs + 766
        ld bc, 767
        ld (hl), a
        lddr
        ld h, d
        ld l, e
        ld (hl), b                  ; B = 0
        dec de
        ld bc, 6143
        lddr
launch_jump:
        ld a, (launch_table + 3)
        and 2
        ret z
        ld a, $c3                   ; JP entry
        ld (game_address), a
        ld hl, (launch_table + 4)
        ld (game_address + 1), hl
        ret

launch_table:
        incbin "bin/launch.bin"
launch_table_end:

        if $ < vector_table + 257   ; the vector table must cover nothing resident
        ds vector_table + 257 - $, 0
        endif
init_only_end:

; ---- resident again: past the end of the vector table -----------------------------------

playing:        db 0                ; not 0 while the interrupt handler plays the music
saved_i:        db 0                ; the I register from before the background playback
launch_due:     db 1                ; 1 until the first call of start has launched the game

; Silences the AY. When the music played in the background, interrupts go back to the ROM
; (IM 1, the I register as it was) and are left enabled; a game that drives the player from
; its own handler keeps its interrupt set-up.
stop:
        ld a, (playing)
        or a
        jp z, pt3_mute
        di
        xor a
        ld (playing), a
        ld a, (saved_i)
        ld i, a
        im 1
        ei
        jp pt3_mute

; Puts back the interrupt state a caller's LD A,I left on the stack (see play_entry).
restore_interrupts:
        pop af
        ret po
        ei
        ret

jump_hl:
        jp (hl)

; The one write to the paging port (see page_bank, page_game).
page_write:
        ld bc, paging_port
        out (c), a
        ret

resident_high_end:
pt3_low_area    equ resident_high_end   ; the PT3 player puts small routines here (up to the handler)

; ---- the interrupt handler ---------------------------------------------------------------
; Runs once per frame under IM 2. It keeps every register of the interrupted program (the
; player uses neither IY nor the alternate set, so the main set and IX are what it saves), plays
; one frame, then goes on to the ROM's own frame routine,
; which updates FRAMES, scans the keyboard and returns with interrupts enabled: a game sees
; the same interrupts it would see under IM 1, with the music added.

        ds vector_byte * 257 - resident_high_end, 0
frame_interrupt:
        push af
        push bc
        push de
        push hl
        push ix                     ; the game's: the PT3 player works in IX
        call play_from_bank
        pop ix
        pop hl
        pop de
        pop bc
        pop af
        jp rom_frame_interrupt

; ---- playing and switching -------------------------------------------------------------
; A tune in a bank lies at its address in $C000..$FFFF. Banks 6, 4, 3 and 1 are the four that
; neither a 48K game (bank 0 at $C000, banks 5 and 2 below it) nor the 128's editor (bank 7)
; uses; the build fills them in that order, so a 128K game that takes free banks from 1 up
; meets the music last. Contention sets no choice apart: banks 1 and 3 are slowed on the 128
; and +2, banks 4 and 6 on the +2A and +3, and the player reads only a few dozen bytes of the
; module a frame, mostly while the top border is drawn.
; Paging goes through BANKM: a bank is paged in with BANKM's other bits (ROM, screen), and
; whatever BANKM says is paged back, with interrupts off in between. The port itself is never
; read. The game's stack may lie at $C000..$FFFF, which a bank hides, so whatever runs with a
; bank paged in runs on the player's own stack, or, as the effect player's reads of a banked
; sfx.afb, uses no stack at all while the bank is in.

; The play entry: one frame. A tune in main memory plays with interrupts as the caller has
; them; for a tune in a bank, or with the sound effects in one, they are off while it runs and
; come back as they were.
play_entry:
        if effects_banked
        ld hl, play_from_bank
        else
        ld a, (music_bank)
        or a
        jr z, play_main
        ld hl, play_banked
        endif
play_entry_end:
        ; fall through

; Runs the routine at HL with interrupts off, then puts them back as they were. LD A,I can
; read IFF2 as 0 when an interrupt is taken during it; that interrupt returns with EI, so a
; second look is right. Keeps BC and DE for the routine.
run_masked:
        ld a, i
        jp pe, run_masked_off
        ld a, i
run_masked_off:
        push af
        di
        call jump_hl
        jr restore_interrupts

; One frame of the playing tune (the handler's call: interrupts are off). Only a switch puts a
; bank at 25519, so a banked tune is always set up.
play_from_bank:
        ld a, (music_bank)
        or a
        jr nz, play_banked
play_main:
        ld a, (module_pointer + 1)
        or a
        ret z                       ; no tune set up
        jp pt3_play
play_banked:
        ld hl, pt3_play
        ; fall through

; Runs the routine at HL with the playing tune's bank paged in, on the player's stack;
; interrupts are off.
in_music_bank:
        ld (in_music_bank_sp + 1), sp
        ld sp, player_stack_end
        call page_music
        call jump_hl
        call page_game
in_music_bank_sp:
        ld sp, 0                    ; the caller's, written above
        ret

; Each tune's bank and module address, as bin/tunes.asm says.
tune_entry      macro tbank, taddress, tmain
        if !tbank && !tmain
        .error bin/tunes.asm: only tune 1 may lie in main memory
        endif
        if tbank && tbank != 6 && tbank != 4 && tbank != 3 && tbank != 1
        .error bin/tunes.asm: a tune's bank must be 6, 4, 3 or 1
        endif
        db tbank
        if tbank
        dw taddress
        else
        dw module
        endif
        endm
tune_table:
        tune_entry tune1_bank, tune1_address, 1
        if tune_count >= 2
        tune_entry tune2_bank, tune2_address, 0
        endif
        if tune_count >= 3
        tune_entry tune3_bank, tune3_address, 0
        endif
        if tune_count >= 4
        tune_entry tune4_bank, tune4_address, 0
        endif
        if tune_count >= 5
        tune_entry tune5_bank, tune5_address, 0
        endif
        if tune_count >= 6
        tune_entry tune6_bank, tune6_address, 0
        endif
        if tune_count >= 7
        tune_entry tune7_bank, tune7_address, 0
        endif
        if tune_count >= 8
        tune_entry tune8_bank, tune8_address, 0
        endif
        if tune_count >= 9
        tune_entry tune9_bank, tune9_address, 0
        endif

; A = n: tune n from its start (see the entry table). Its bank and module come from the tune
; table; the channels are set up with the tune's bank paged in, the tables with the builder's.
tune_switch:
        dec a
        cp tune_count
        ret nc                      ; 0 or past the last tune
        ld c, a
        add a, a
        add a, c
        ld hl, tune_table
        ld e, a
        ld d, 0
        add hl, de
        ld c, (hl)                  ; C = bank
        inc hl
        ld e, (hl)
        inc hl
        ld d, (hl)                  ; DE = module
        ld a, (paging_ok)
        or a
        jr nz, switch_present
        or c
        jr nz, switch_silent        ; a banked tune without paging does not play
switch_present:
        ld hl, switch_masked
        jr run_masked
; A tune that cannot play here is silence, as the banked music is on a Spectrum without paging:
; the tune playing before stops, and no tune is set up until a switch to one that plays. An
; interrupt in between finds no tune and writes nothing, so this needs no masking.
switch_silent:
        ld hl, 0
        ld (module_pointer), hl
        jp pt3_mute
switch_masked:
        ld a, c
        ld (music_bank), a
        if effects_banked
switch_effects:                     ; what the effect player pages back after each read:
        ld (ayfx_back_bank), a
        cp 1
        sbc a, a                    ; 0xFF for no bank, BANKM as it is
        or paging_kept_bits         ; else BANKM's other bits with the bank
        ld (ayfx_back_mask), a
switch_effects_end:
        endif
        ld (module_pointer), de
        ld hl, switch_in_bank
        jr in_music_bank

; Puts the playing tune's bank (page_music) or bank A (page_bank) at $C000 with BANKM's other
; bits; bank 0 means the game's paging. Changes A and BC.
page_music:
        ld a, (music_bank)
page_bank:
        or a
        jr z, page_game
        ld c, a
        ld a, (bankm_sysvar)
        and paging_kept_bits
        or c
        jp page_write

; Pages back exactly what BANKM says; nothing where there is no paging. Changes A and BC.
page_game:
        ld a, (paging_ok)
        or a
        ret z
        ld a, (bankm_sysvar)
        jp page_write

; The switch's work with the tune's bank paged in: DE = the module.
switch_in_bank:
        ex de, hl                   ; HL = the module
        call pt3_init_start         ; A = header byte 99, B = byte 13
        ld c, a
        ld a, (builder_bank)
        inc a
        jr z, pt3_init_channels     ; no builder: the tables of tune 1, the only tune, stay
        dec a
        push bc
        call page_bank
        pop bc
        ld a, c
        if tune1_banked
        call pt3_tables_code
        else
        call builder_top
        endif
        call page_music
        ; fall through to pt3_init_channels, the PT3 player's first routine: it sets up the
        ; channels and silences the AY


; ---- the PT3 player ----------------------------------------------------------------------
; Its table builder runs where init puts it (see the memory plan).
pt3_tables_elsewhere equ 1
        if !tune1_banked
pt3_tables_at   equ builder_top
        endif
        if effects_size
pt3_with_ayfx   equ 1               ; every frame mixes in the playing sound effect
        endif
        include "asm/pt3_player.asm"

; ---- the sound effects -------------------------------------------------------------------
; With sfx.afb in the program directory, the effect player stays resident in main memory, and
; so do the effects (bin/sfx.afb) when they fit there: pt3_play reads them on every frame, with
; a tune's bank paged in too. They take their room from what tune 1 may have in main memory; the
; build puts tune 1 in a bank when the two do not fit together, and the effects themselves in a
; RAM bank (effects_bank) when they do not fit even so. A banked sfx.afb travels compressed as
; the last of the banked blocks and init loads it as it loads a tune; the effect player then
; pages it in for each read (ayfx_player.asm) and only the player's code stays here.
effects_player_bytes equ 230        ; the effect player's code and state, with its call in pt3_play
banked_effects_player_bytes equ 273 ; the same with sfx.afb in a RAM bank, and the paging it needs
effects_hook_bytes equ 7            ; that call: LD A,(nn), OR A, CALL NZ,nn
        if effects_banked
ayfx_bank_number equ effects_bank
ayfx_bank       equ effects_address
effects_code:
        include "asm/ayfx_player.asm"
effects_code_end:
; What the banked effects add to the player beside the effect player itself: the switch's note
; of the music's bank for it, less what the play entry no longer tests (it always masks
; interrupts). The effect entry's change and the count of effects are init's (effects_ready).
banked_effects_hooks equ switch_effects_end - switch_effects + play_entry_end - play_entry - 9
        if effects_code_end - effects_code + effects_hook_bytes + banked_effects_hooks != banked_effects_player_bytes
        .error banked_effects_player_bytes is stale: set it to the banked effect player's size
        endif
        endif
        if effects_size && !effects_banked
effects_code:
        include "asm/ayfx_player.asm"
effects_code_end:
ayfx_bank:
        incbin "bin/sfx.afb"
        if $ - ayfx_bank != effects_size
        .error bin/tunes.asm: effects_size is not the size of bin/sfx.afb
        endif
        if effects_code_end - effects_code + effects_hook_bytes != effects_player_bytes
        .error effects_player_bytes is stale: set it to the effect player's size
        endif
        endif
effects_end:

        if tune1_banked
        pt3_tables_part
pt3_tables_end:
pt3_tables_at   equ pt3_tables_code ; (after the part: pasmo takes an equ's first value)
module          equ 0               ; no tune in main memory
pt3_work        equ $
        else
; ---- the module buffer -------------------------------------------------------------------
; The unpacked module of tune 1 goes at `module`. Only its compressed music travels on tape,
; with init's code and zeros, which load fastest, below it.
; Unpacking in place is safe when the compressed data ends at least `unpack_margin` bytes
; after the unpacked module: a ZX7 stream never spends more than 9 bits on one byte of
; output, plus an 18-bit end marker and a padded bit byte, so the unread compressed bytes
; can lead the unread output by at most size / 8 + 4 bytes.
module:
module_end      equ module + tune1_size
unpack_margin   equ tune1_size / 8 + 4
pt3_work        equ module_end
        endif
resident_end    equ pt3_work

; ---- init: what it runs before tune 1 is unpacked over it --------------------------------

init:
        call show_credits
        ld a, i                     ; keep the interrupt state, as play_entry does
        jp pe, init_masked
        ld a, i
init_masked:
        push af
        di
        if loads_blocks
        call find_paging
        ld a, (paging_ok)
        or a
        call nz, load_tunes
        endif
        if effects_banked
        ld a, (paging_ok)
        or a
        call nz, effects_ready
        endif
        if !tune1_banked
        ld a, (paging_ok)           ; no paging: the builder runs once, from free memory
        or a
        jr nz, init_copy_builder
        ld (builder_bank), a
init_copy_builder:
        ld a, (builder_bank)
        call page_bank
        ld hl, pt3_tables_code
        ld de, pt3_tables_at
        ld bc, pt3_tables_end - pt3_tables_code
        ldir
        call page_game
        endif
        jp init_finish

        if loads_blocks
; Loads each banked tune's block from the tape into its bank and unpacks it to its address.
; Interrupts are off (LD-BYTES turns them on at its end); a block that does not load stops
; with "R Tape loading error", as the launch does.
load_tunes:
        ld hl, tune_loads
load_tune:
        ld a, (hl)
        or a
        ret z
        inc hl
        push hl
        call page_bank
        pop hl
        ld e, (hl)
        inc hl
        ld d, (hl)                  ; DE = where the block loads
        inc hl
        push de
        pop ix
        ld e, (hl)
        inc hl
        ld d, (hl)                  ; DE = its length
        inc hl
        ld c, (hl)
        inc hl
        ld b, (hl)                  ; BC = the module's address
        inc hl
        push hl
        push bc
        push ix
        ld a, $ff                   ; a data block
        scf                         ; loaded, not verified
        call rom_load_bytes
        di
        jr nc, load_failed
        pop hl
        pop de
        call zx7_unpack
        call page_game
        pop hl
        jr load_tune
load_failed:
        call page_game
        ei                          ; as LD-BYTES left them: BASIC's report waits for a key
        rst 8
        db $1a                      ; R Tape loading error

        if effects_banked
; Where paging works the effects are loaded: the effect entry goes to the effect player, which
; learns from the bank how many effects it has. Interrupts are off.
effects_ready:
        ld hl, ayfx_start
        ld (entry_effect + 1), hl
        ld a, effects_bank
        call page_bank
        ayfx_learn_count
        jp page_game
        endif

; Per banked tune, in tape order: its bank, where its block loads, the block's length, the
; module's address; a 0 byte ends the list.
tune_load       macro tbank, tload, tpacked, taddress
        if tbank
        db tbank
        dw tload, tpacked, taddress
        if tload < $c000 && tpacked > $c000 - tload
        .error bin/tunes.asm: a tune's block loaded in main memory runs into $C000, where its bank is
        endif
        endif
        endm
; The sound effects' block comes last, after the tunes' blocks.
tune_loads:
        tune_load tune1_bank, tune1_load, tune1_packed, tune1_address
        tune_load tune2_bank, tune2_load, tune2_packed, tune2_address
        tune_load tune3_bank, tune3_load, tune3_packed, tune3_address
        tune_load tune4_bank, tune4_load, tune4_packed, tune4_address
        tune_load tune5_bank, tune5_load, tune5_packed, tune5_address
        tune_load tune6_bank, tune6_load, tune6_packed, tune6_address
        tune_load tune7_bank, tune7_load, tune7_packed, tune7_address
        tune_load tune8_bank, tune8_load, tune8_packed, tune8_address
        tune_load tune9_bank, tune9_load, tune9_packed, tune9_address
        tune_load effects_bank, effects_load, effects_packed, effects_address
        db 0

; Do the banks page in? A changed byte at $C000 of the game's bank must leave bank
; music_bank_number's byte as it was; without paging both are the same byte. The game's byte
; is put back. Sets paging_ok to 1 when paging works. Interrupts are off.
find_paging:
        ld a, 1
        ld (paging_ok), a
        ld hl, music_bank_address
        call page_game
        ld d, (hl)                  ; the game's byte
        ld a, music_bank_number
        call page_bank
        ld e, (hl)                  ; the bank's byte, or the game's again
        call page_game
        ld a, d
        cpl
        ld (hl), a
        ld a, music_bank_number
        call page_bank
        ld a, (hl)
        cp e
        push af                     ; Z: the bank kept its byte
        call page_game
        ld (hl), d
        pop af
        ret z
        xor a
        ld (paging_ok), a
        ret
        endif

        if tune1_banked
; One line above the credits (on the bottom row when there are none).
show_needs_128k:
        ld a, (credit_row)
        or a
        jr nz, needs_128k_row
        ld a, 24
needs_128k_row:
        dec a
        ld (credit_row), a
        ld c, 1
        call clear_credit_rows
        ld hl, needs_128k_text
        ld de, 0                    ; D = row offset, E = column
needs_128k_char:
        ld a, (hl)
        push hl
        push de
        call draw_char
        pop de
        pop hl
        inc hl
        inc e
        ld a, e
        cp needs_128k_end - needs_128k_text
        jr nz, needs_128k_char
        ret

needs_128k_text:
        db "This music needs a 128K Spectrum"
needs_128k_end:
        endif

credits_text:
        incbin "bin/author.bin"
credits_end:

; ---- credits -----------------------------------------------------------------------------
; Prints the credits text, up to its carriage return, on the bottom rows of the screen in
; the ROM font, wrapping at 32 columns; the rows used are cleared and coloured first.
; Screen writes are direct, so the loader's POKE that hides tape messages does not matter.

show_credits:
        call credits_length         ; B = characters to show
        ld a, b
        or a
        ret z
        add a, credit_columns - 1
        rrca
        rrca
        rrca
        rrca
        rrca
        and 7                       ; rows needed
        ld c, a
        ld a, 24
        sub c
        ld (credit_row), a
        push bc
        call clear_credit_rows
        pop bc
        ld hl, credits_text
        ld de, 0                    ; D = row offset, E = column
credit_char:
        push bc
        push hl
        push de
        ld a, (hl)
        call draw_char
        pop de
        pop hl
        pop bc
        inc hl
        inc e
        ld a, e
        cp credit_columns
        jr nz, credit_char_next
        ld e, 0
        inc d
credit_char_next:
        djnz credit_char
        ret

; B = number of characters before the carriage return, at most the text's size and at most
; what fits on the credit rows.
credits_length:
        ld hl, credits_text
        ld b, 0
credits_length_next:
        ld a, b
        cp credits_limit
        ret z
        ld a, (hl)
        cp 13
        ret z
        inc hl
        inc b
        jr credits_length_next

; C = number of rows from (credit_row) to the bottom: blank their pixels, set their colour.
clear_credit_rows:
        ld a, (credit_row)
        ld d, a
clear_row:
        push bc
        push de
        ld e, 0
        call cell_address           ; HL = first pixel line of the row
        ld c, 8
clear_pixel_line:
        push hl
        ld b, credit_columns
clear_pixel_byte:
        ld (hl), 0
        inc hl
        djnz clear_pixel_byte
        pop hl
        inc h
        dec c
        jr nz, clear_pixel_line
        pop de
        push de
        call attr_address
        ld b, credit_columns
clear_attr_byte:
        ld (hl), credits_attr
        inc hl
        djnz clear_attr_byte
        pop de
        pop bc
        inc d
        dec c
        jr nz, clear_row
        ret

; Draws character A at row (credit_row) + D, column E. Codes outside 32..127 stay blank.
draw_char:
        cp 32
        ret c
        cp 128
        ret nc
        push af
        ld a, (credit_row)
        add a, d
        ld d, a
        call cell_address
        ex de, hl                   ; DE = screen
        pop af
        ld l, a
        ld h, 0
        add hl, hl
        add hl, hl
        add hl, hl                  ; HL = code * 8
        ld bc, (chars_sysvar)
        add hl, bc                  ; HL = glyph
        ld b, 8
draw_char_line:
        ld a, (hl)
        ld (de), a
        inc hl
        inc d
        djnz draw_char_line
        ret

; HL = pixel address of the top line of the cell at row D (0..23), column E (0..31).
cell_address:
        ld a, d
        and $18
        or screen_pixels / 256
        ld h, a
        ld a, d
        and 7
        rrca
        rrca
        rrca
        or e
        ld l, a
        ret

; HL = attribute address of row D, column 0.
attr_address:
        ld l, d
        ld h, 0
        add hl, hl
        add hl, hl
        add hl, hl
        add hl, hl
        add hl, hl
        ld bc, screen_attrs
        add hl, bc
        ret

credit_row:     db 0

        if !tune1_banked
        pt3_tables_part             ; copied to pt3_tables_at by init
pt3_tables_end:
        endif

        if !tune1_banked
        if $ < module + tune1_size + unpack_margin - tune1_packed
        ds module + tune1_size + unpack_margin - tune1_packed - $, 0
        endif
packed_music:
        incbin "bin/music.pt3.zx7"
packed_end:
        endif
init_end:

; The credits init shows: the whole text, up to the rows the screen gives them.
credits_size    equ credits_end - credits_text
        if credits_size < credit_columns * credit_rows_max
credits_limit   equ credits_size
        else
credits_limit   equ credit_columns * credit_rows_max
        endif

; ---- is the layout sound? ------------------------------------------------------------------
; The vector table may replace only code used before it is filled (the launch with the
; longest table the build writes included), and the handler must sit where every vector points.

        if resident_low_end > vector_table
        .error the start code runs into the vector table
        endif
        if launch_table + launch_table_max > vector_table + 257
        .error the launch code with the longest table runs past the vector table
        endif
        if launch_table_end - launch_table > launch_table_max
        .error bin/launch.bin is longer than launch_table_max
        endif
        if init_only_end < vector_table + 257
        .error resident code lies under the vector table: move init-only code there
        endif
        if resident_high_end > frame_interrupt || pt3_low_end > frame_interrupt
        .error the code before the interrupt handler runs into it
        endif
        if vector_table & 255
        .error start fills the vector table from a page boundary
        endif
        if frame_interrupt != vector_byte * 257 || vector_table + 257 > frame_interrupt
        .error the interrupt handler is not where the vectors point
        endif
        if pt3_tables_end - pt3_tables_code != tables_room
        .error tables_room is stale: set it to the table builder's size
        endif
        if init_end > $8000 && pt3_work + PT3_WORK_SIZE <= game_address  ; (else the effects say it)
        .warning The music does not fit: tune 1's compressed music, which goes with the player and init's code from 25500, must end by 32767, where the blocks of the banked tunes load.
        .error init's code and the compressed music run past $7FFF
        endif
        if tune_count < 1 || tune_count > 9
        .error bin/tunes.asm: tune_count must be 1 to 9
        endif

; ---- does it fit? ------------------------------------------------------------------------
; The build shows pasmo's warnings (standard error); the error itself stops the assembly.
; The limits named in the messages are checked below, so they cannot go stale.

        if max_module_size - banked_effects_player_bytes != 3617
        .error the banked effects' warning names a stale limit: set it to max_module_size less banked_effects_player_bytes
        endif

work_size       equ PT3_WORK_SIZE
        if effects_banked
effects_room    equ banked_effects_player_bytes   ; what the effects take of main memory
        endif
        if effects_size && !effects_banked
effects_room    equ effects_size + effects_player_bytes
        endif
        if !effects_size
effects_room    equ 0
        endif

        if player_stack_end - resident_low_end < player_stack_size || zx7_end < player_stack_end
        .error the player's stack is too small or lies over more than the unpacker
        endif

        if !tune1_banked

; Past the module come its room to unpack in place and the work area; only the work area
; must end by 31999. The tune table grows with the tunes, so the limit is the one for nine.

player_size     equ 2146            ; bytes from 25500 to the module buffer, without effects

; Where the module lies with nine tunes and no effects.
module_at_most  equ module + 3 * (9 - tune_count) - effects_room
        if module_at_most - load_address != player_size
        .error player_size or effects_player_bytes is stale: set them to the bytes from 25500 to `module` with nine tunes, and to what the effects add less sfx.afb
        endif
        if module_at_most + max_module_size + work_size > game_address
        .error max_module_size is stale: the work area no longer fits below 32000
        endif
        if module_at_most + (max_module_size + 1) + work_size <= game_address
        .error max_module_size is stale: a larger module fits below 32000
        endif

        if tune1_size + effects_room > max_module_size || module_end + work_size > game_address
        if effects_banked
        .warning The sound effects do not fit: with the sound effects in a RAM bank, tune 1 in main memory may have at most 3617 bytes, 3890 less the effect player's 273 (a larger tune 1 goes in a RAM bank).
        .error The music and the effect player do not fit between 25500 and 31999
        endif
        if effects_size && !effects_banked
        .warning The sound effects do not fit: with tune 1 in main memory, tune 1, sfx.afb and the effect player's 230 bytes may have at most 3890 bytes together (a larger tune 1 goes in a RAM bank).
        .error The music and the sound effects do not fit between 25500 and 31999
        endif
        .warning The music does not fit: tune 1 goes in main memory only when it has at most 3890 bytes (the player takes bytes 25500 to 27645, its work area the 464 bytes after the module, up to 31999).
        .error The music does not fit between 25500 and 31999
        endif

        else

; With tune 1 banked the effects have the room of the table builder and the work area; a
; larger sfx.afb goes in a RAM bank.
max_banked_effects_size equ 3281    ; the largest sfx.afb in main memory, with tune 1 in a bank
effects_at_most equ effects_end - effects_room + 3 * (9 - tune_count)  ; with nine tunes
        if effects_at_most + effects_player_bytes + max_banked_effects_size + (pt3_work - effects_end) + work_size != game_address
        .error max_banked_effects_size is stale: set it to the room left below 32000 with nine tunes
        endif
        if pt3_work + work_size > game_address
        .warning The sound effects do not fit: sfx.afb may have at most 3281 bytes (with tune 1 in a RAM bank, the player, its effect player and its work area take the rest of 25500 to 31999).
        .error The sound effects do not fit between 25500 and 31999
        endif

        endif
        if pt3_work + work_size > game_address
        .error the player's work area runs past 31999
        endif

        if entry_init != address_init || entry_play != address_play || entry_stop != address_stop
        .error the jump table and its address equ lines differ: 25500 to 25506
        endif
        if module_pointer != address_module || entry_start != address_start
        .error the jump table and its address equ lines differ: 25509, 25511
        endif
        if entry_switch != address_tune || music_bank != address_bank || builder_bank != builder_bank_byte
        .error the jump table and its address equ lines differ: 25514, 25519
        endif
        if entry_effect != address_effect || entry_effects_off != address_effects_off
        .error the jump table and its address equ lines differ: 25520, 25523
        endif

        end
