; tunefuse.asm - the music player code block of a tunefuse tape.
;
; Assembled by the build from the program directory:
;     pasmo --err asm/tunefuse.asm tunefuse.bin
; INCLUDE and INCBIN names are relative to the working directory, so the PT3 player is found
; as asm/pt3_player.asm and the build's work files as bin/music.pt3, bin/music.pt3.zx7,
; bin/author.bin and bin/launch.bin.
;
; The BASIC loader does CLEAR 25499, loads this block at 25500, calls 25500, loads the game,
; calls 25511 and starts the game at 32000. Everything the player keeps therefore lies in
; 25500..31999; what only init reads may lie past 31999, as the game loads over it later.
; The first call of 25511 also finishes the game's loading as bin/launch.bin says (its further
; blocks, POKEs, colours, a jump to its entry at 32000): see "the game's launch" below.
;
; Entry points (fixed addresses; games may call them too):
;     25500  init:   show the credits, unpack the music, set up the player, silence the AY.
;                    Once only: unpacking uses up the compressed music.
;     25503  play:   play one frame of the music (for games with their own interrupt handler)
;     25506  stop:   silence the AY; if the music played in the background, back to IM 1
;     25509  word:   address of the unpacked PT3 module ($C000 when it lies in a RAM bank)
;     25511  start:  play the music in the background: one frame on every interrupt (IM 2);
;                    the first call launches the game first, in every layout
;     25514  5 bytes, unused (kept so that 25519 stays where games expect it)
;     25519  byte:   the RAM bank that holds the music, 0 when it lies in main memory
;
; Two layouts, chosen here from the module's size:
;   - a module of at most max_module_size bytes is unpacked into main memory and plays on
;     every Spectrum with an AY (the plan below);
;   - a larger one, up to one 16 KB bank, is unpacked by init into RAM bank music_bank_number
;     at $C000 of a 128K Spectrum, and the interrupt handler pages that bank in for the frame
;     it plays (see "the banked layout" further down). Where init finds no paging (a 48K, or a
;     128K locked in 48 BASIC) it says that the music needs a 128K and the game runs silent.
;
; Memory plan of the main-memory layout, from 25500 upwards:
;     jump table, the start code;
;     code used only until the first call of start (init, the unpacker, the game's launch
;     and its table), which the IM 2 vector table at 25600..25856 replaces when the
;     background playback starts;
;     the player's flags and the stop code, small routines of the PT3 player, then the
;     interrupt handler at 25957 (the address every vector byte, 101, points to), then the
;     rest of the PT3 player;
;     the module buffer, then the player's work area right after the unpacked module.
; At the bottom of the buffer lie the credits text and the code that shows it, which init runs
; in place, and the PT3 player's init code, which init copies to pt3_init_at, high above the
; game's start, before it unpacks the module over it, and runs from there: the game loads
; over that copy later.
; The compressed music is stored at the top of the buffer so that it ends a safe distance after
; where the unpacked module ends; unpacking then runs in place from the bottom of the buffer
; and never overwrites compressed bytes it has yet to read. The work area is filled only once
; the music is unpacked, so it may lie over the compressed bytes.

load_address    equ 25500
game_address    equ 32000

max_module_size equ 4124            ; largest module for main memory (checked at the end)
max_banked_module_size equ 16384    ; one RAM bank
music_bank_number equ 6             ; see the banked layout for why
music_bank_address equ $c000
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

; ---- the sizes of the build's work files -------------------------------------------------
; The layout must be known before the code it shapes, and pasmo learns a file's size only by
; placing its bytes, every one of which counts in the block it writes. So the module and its
; compressed form are measured from 25500, where the code below overwrites them; a banked
; block is therefore at least as long as the module (main-memory blocks always are).

        org load_address
module_probe:
        incbin "bin/music.pt3"
module_size     equ $ - module_probe
        org load_address
packed_probe:
        incbin "bin/music.pt3.zx7"
packed_size     equ $ - packed_probe
banked          equ module_size > max_module_size

        org load_address

; ---- jump table: these addresses are the code block's contract --------------------------
entry_init:     jp init             ; 25500
        if banked
entry_play:     jp play_entry       ; 25503
        else
entry_play:     jp pt3_play         ; 25503
        endif
entry_stop:     jp stop             ; 25506
module_pointer: dw module           ; 25509: $C000 in the banked layout
entry_start:    jp start            ; 25511
        ds 5, 0                     ; 25514
        if banked
music_bank:     db music_bank_number ; 25519: set to 0 by init when the bank cannot be paged
        else
music_bank:     db 0                ; 25519
        endif

; ---- background playback -----------------------------------------------------------------

; Fills the vector table, keeps the I register of the caller and switches to IM 2. A second
; call while the music plays changes nothing. The first call, the loader's, starts with the
; game's launch (see below).
start:
        ld a, (launch_due)
        or a
        call nz, launch             ; the first call only, in every layout
        if banked
        ld a, (music_bank)
        or a
        ret z                       ; no paging here: nothing to play
        endif
        ld a, (playing)
        or a
        ret nz
        di
        ld hl, vector_table
        ld de, vector_table + 1
        ld bc, 256
        ld (hl), vector_byte
        ldir
        ld a, i
        ld (saved_i), a
        ld a, vector_table / 256
        ld i, a
        im 2
        ld a, 1
        ld (playing), a
        ei
        ret

resident_low_end:

; ---- code used only until the first start: the vector table takes its place -----------

        if !banked
init:
        call show_credits
        ld hl, pt3_init_code        ; the player's init code, out of the way of the module
        ld de, pt3_init_at
        ld bc, pt3_init_end - pt3_init_code
        ldir
        ld hl, packed_music
        ld de, module
        call zx7_unpack
        ld hl, module
        jp pt3_init                 ; also silences the AY
        endif

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

playing:        db 0                ; 1 while the interrupt handler plays the music
saved_i:        db 0                ; the I register from before the background playback
launch_due:     db 1                ; 1 until the first call of start has launched the game
        if banked
game_stack:     dw 0                ; SP of the interrupted program while the bank is in
        endif

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
        call pt3_mute
        ei
        ret

resident_high_end:
pt3_low_area    equ resident_high_end   ; the PT3 player puts small routines here (up to the handler)

; ---- the interrupt handler ---------------------------------------------------------------
; Runs once per frame under IM 2. It keeps every register of the interrupted program (main
; and alternate sets, IX, IY), plays one frame, then goes on to the ROM's own frame routine,
; which updates FRAMES, scans the keyboard and returns with interrupts enabled: a game sees
; the same interrupts it would see under IM 1, with the music added.

        ds vector_byte * 257 - resident_high_end, 0
frame_interrupt:
        push af
        push bc
        push de
        push hl
        push ix
        push iy
        ex af, af'
        push af
        exx
        push bc
        push de
        push hl
        if banked
        call play_from_bank
        else
        call pt3_play
        endif
        pop hl
        pop de
        pop bc
        exx
        pop af
        ex af, af'
        pop iy
        pop ix
        pop hl
        pop de
        pop bc
        pop af
        jp rom_frame_interrupt


; ---- the banked layout: playing from a RAM bank -----------------------------------------
; The module lies at $C000 in RAM bank music_bank_number. Bank 6 is one of the four that
; neither the game (bank 0 at $C000, banks 5 and 2 below it) nor the 128's editor (bank 7)
; uses. Contention sets no choice apart: banks 1 and 3 are slowed on the 128 and +2, banks 4
; and 6 on the +2A and +3, and the player reads only a few dozen bytes of the module a frame,
; mostly while the top border is drawn. Bank 6 is the last of the four, so a 128K game that
; takes free banks in order meets it last.
; Paging goes through BANKM: the music bank is paged in with BANKM's other bits (ROM,
; screen), and whatever BANKM says is paged back, with interrupts off in between. The port
; itself is never read.

        if banked

; The play entry: one frame from the bank, whether the caller has interrupts on or off; they
; are off while the bank is in and come back as they were. LD A,I can read IFF2 as 0 when an
; interrupt is taken during it; that interrupt returns with EI, so a second look is right.
play_entry:
        ld a, i
        jp pe, play_entry_masked
        ld a, i
play_entry_masked:
        push af
        di
        call play_from_bank
        jr restore_interrupts

; One frame from the bank, with interrupts off. The game's stack may lie at $C000..$FFFF,
; which the music bank hides, so the frame runs on a stack of its own.
play_from_bank:
        ld a, (music_bank)
        or a
        ret z                       ; no paging here: no music
        ld (game_stack), sp
        ld sp, player_stack_end
        call page_music
        call pt3_play
        call page_game
        ld sp, (game_stack)
        ret

; The end of init, kept out of the work area that pt3_init clears: sets up the player on
; the unpacked module (bank paged in, HL = the module), pages the game's bank back and
; restores the interrupt state kept on the stack.
init_finish:
        call pt3_init               ; also silences the AY
        call page_game
restore_interrupts:
        pop af
        ret po
        ei
        ret

; Puts the music bank at $C000 with BANKM's other bits. Changes A and BC.
page_music:
        ld a, (music_bank)
        ld c, a
        ld a, (bankm_sysvar)
        and paging_kept_bits
        or c
        jr page_write

; Pages back exactly what BANKM says. Changes A and BC.
page_game:
        ld a, (bankm_sysvar)
page_write:
        ld bc, paging_port
        out (c), a
        ret

        endif

; ---- the PT3 player ----------------------------------------------------------------------
; Its init code travels with the music (see below) and runs once, before the game loads:
; in the main-memory layout from pt3_init_at, far above the game's start (where a debugger may
; well stop), where init copies it before unpacking the module over it; in the banked layout
; in place.
pt3_init_elsewhere equ 1
        if !banked
pt3_init_at     equ $f000
        endif
        include "asm/pt3_player.asm"

        if banked

; ---- the banked layout: init and what it unpacks ---------------------------------------------
; Past the player lie its work area and its stack, and over them, used only by init before
; the work area is cleared: init's own code, the compressed music, the credits text with the
; code that shows it and the PT3 player's init code, all of which run where they lie.
; The credits come last so that the compressed music, which init reads while the bank is
; paged in, ends by 31999 at a fixed limit; they may run past 31999, as the padding below
; does, because init is done with them before the game loads.

player_stack_size equ 64
pt3_work        equ $
player_stack_end equ pt3_work + PT3_WORK_SIZE + player_stack_size
module          equ music_bank_address

init:
        call show_credits
        ld a, i                     ; keep the interrupt state, as in play_entry
        jp pe, init_masked
        ld a, i
init_masked:
        push af
        di
        call find_paging
        ld a, (music_bank)
        or a
        jr z, init_without_paging
        call page_music
        ld hl, packed_music
        ld de, music_bank_address
        call zx7_unpack
        ld hl, music_bank_address
        jp init_finish

init_without_paging:
        call pt3_mute
        call show_needs_128k
        jp restore_interrupts

; Does the music bank page in? A changed byte at $C000 of the game's bank must leave the
; music bank's byte as it was; without paging both are the same byte. The game's byte is put
; back. Sets music_bank to 0 when paging does not work. Interrupts are off.
find_paging:
        ld hl, music_bank_address
        call page_game
        ld d, (hl)                  ; the game's byte
        call page_music
        ld e, (hl)                  ; the music bank's byte, or the game's again
        call page_game
        ld a, d
        cpl
        ld (hl), a
        call page_music
        ld a, (hl)
        cp e
        push af                     ; Z: the music bank kept its byte
        call page_game
        ld (hl), d
        pop af
        ret z
        xor a
        ld (music_bank), a
        ret

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

packed_music:
        incbin "bin/music.pt3.zx7"
packed_end:

        else

; ---- the module buffer -------------------------------------------------------------------
; The unpacked module goes at `module`. Only the compressed music travels on tape, with
; zeros, which load fastest, below it.
; Unpacking in place is safe when the compressed data ends at least `unpack_margin` bytes
; after the unpacked module: a ZX7 stream never spends more than 9 bits on one byte of
; output, plus an 18-bit end marker and a padded bit byte, so the unread compressed bytes
; can lead the unread output by at most size / 8 + 4 bytes.
; The credits text and the code that shows it sit at the bottom of the buffer: init runs that
; code in place before the music is unpacked over it.

module:
module_end      equ module + module_size
unpack_margin   equ module_size / 8 + 4
pt3_work        equ module_end

        endif

; ---- what init uses before it unpacks: the credits and the PT3 player's init code ----------

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

        pt3_init_part               ; main memory: copied to pt3_init_at by init, then unpacked over
pt3_init_end:

        if banked
pt3_init_at     equ pt3_init_code
; Zeros (they load fastest) over what is left of the module measured at the top.
        if $ < load_address + module_size
        ds load_address + module_size - $, 0
        endif

        else

        if module_size + unpack_margin - packed_size > pt3_init_end - credits_text
        ds module_size + unpack_margin - packed_size - (pt3_init_end - credits_text), 0
        endif
packed_music:
        incbin "bin/music.pt3.zx7"
packed_end:

        endif

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
        if frame_interrupt != vector_byte * 257 || vector_table + 257 > frame_interrupt
        .error the interrupt handler is not where the vectors point
        endif

; ---- does it fit? ------------------------------------------------------------------------
; The build shows pasmo's warnings (standard error); the error itself stops the assembly.
; The limits named in the messages are checked below, so they cannot go stale.

work_size       equ PT3_WORK_SIZE

        if banked

max_packed_size equ 4419            ; largest compressed module for the banked layout

        if packed_music + max_packed_size != game_address
        .error max_packed_size is stale: set it to 32000 - packed_music
        endif
        if player_stack_end > game_address
        .error the player's work area and stack run past 31999
        endif
        if module_size > max_banked_module_size
        .warning The music does not fit: a PT3 module may have at most 16384 bytes, one RAM bank of a 128K Spectrum (up to 4124 bytes it plays on every Spectrum).
        .error The music does not fit in one RAM bank
        endif
        if packed_end > game_address
        .warning The music does not fit: a module of more than 4124 bytes plays from a RAM bank of a 128K Spectrum, and its compressed form, which goes with the player in 25500 to 31999, may have at most 4419 bytes.
        .error The compressed music does not fit between 25500 and 31999
        endif

        else

; Past the module come its room to unpack in place and the work area; they overlap, so the
; larger of the two counts.

player_size     equ 1857            ; bytes from 25500 to the module buffer

        if module - load_address != player_size
        .error player_size is stale: set it to the bytes from 25500 to `module`
        endif
        if module + max_module_size + max_module_size / 8 + 4 > game_address
        .error max_module_size is stale: it no longer fits below 32000
        endif
        if module + max_module_size + work_size > game_address
        .error max_module_size is stale: the work area no longer fits below 32000
        endif
        if module + (max_module_size + 1) + (max_module_size + 1) / 8 + 4 <= game_address
        if module + (max_module_size + 1) + work_size <= game_address
        .error max_module_size is stale: a larger module fits below 32000
        endif
        endif

        if packed_end > game_address || module_end + work_size > game_address
        .warning The music does not fit: the player takes bytes 25500 to 27356, and above it both the unpacked PT3 module plus one eighth of its size (room to unpack in place) and the compressed module with the credits text and the player's init code must end by 31999.
        .error The music does not fit between 25500 and 31999
        endif

        endif

        end
