; PT3 (ProTracker 3 / Vortex Tracker II) music player for the AY-3-8912.
;
; Include this file from the player source. It needs one symbol from the includer:
;   pt3_work  the address of PT3_WORK_SIZE bytes of free RAM for the player's state. The
;             area is cleared and filled by pt3_init, so it need not be part of the binary.
; and takes others if given:
;   pt3_low_area  where some small routines go instead (up to pt3_low_end), so that free
;             bytes elsewhere in the includer's block take them.
;   pt3_tables_elsewhere  the includer places the table builder itself (see pt3_tables_part)
;             and sets a module up in three steps instead of calling pt3_init.
;   pt3_with_ayfx  sound effects from ayfx_player.asm are mixed into every frame.
;
; Entry points (all of them change AF, BC, DE, HL and IX; none uses IY or the alternate set):
;   pt3_init  HL = address of the module in memory. Reads the header, builds the tone and
;             level tables, sets up the channels and silences the AY. It is the three steps
;             pt3_init_start, pt3_tables, pt3_init_channels, which an includer that keeps the
;             table builder away from the module (another RAM bank) calls one by one.
;   pt3_play  plays one 50 Hz frame: works out R0..R12 and writes them to the AY on the 128's
;             ports (select 0xFFFD, data 0xBFFD); writes R13 only on the frames where a pattern
;             row sets an envelope, even when the shape is the same as before, because each R13
;             write restarts the envelope.
;   pt3_mute  sets the three channel volumes to 0.
;
; All module offsets are taken from the module's own header, so the module may lie anywhere.
; The play routine is written for its slowest frames, those where the channels read rows: what
; a frame needs again and again (the levels of every volume, the addresses, loops and lengths of
; the current sample and ornament) is worked out once, at init or when a row selects it, and
; the work of a row tick is shared with the call before it (see pt3_play_ahead). The player
; keeps its state only in the work area, so a call may start with any registers and flags.

; ---------------------------------------------------------------------------------------------
; Channel state: three blocks of PT3_CH bytes, reached through IX. A note clears the first
; eleven bytes.
CH_TONE_ACC     equ 0   ; word: accumulated sample tone offset
CH_AMP_SLIDE    equ 2   ; signed, -15..15
CH_NOISE_ACC    equ 3
CH_ENV_ACC      equ 4
CH_SLIDE        equ 5   ; word: tone slide value, added to the period
CH_SLIDE_COUNT  equ 7   ; 0 = no slide running
CH_ONOFF_COUNT  equ 8   ; 0 = on/off effect not running
CH_SAMPLE_POS   equ 9
CH_ORNAMENT_POS equ 10
CH_ENABLED      equ 11  ; 1 while the channel sounds
CH_STREAM       equ 12  ; word: address of the channel's next pattern byte
CH_SKIP         equ 14  ; rows per step (0 acts as 256)
CH_SKIP_COUNT   equ 15  ; row ticks until the next row
CH_SAMPLE       equ 16  ; word: address of the current sample's first position
CH_SAMPLE_LOOP  equ 18
CH_SAMPLE_LENGTH equ 19
CH_ORNAMENT     equ 20  ; word: address of the current ornament's first position
CH_ORNAMENT_LOOP equ 22
CH_ORNAMENT_LENGTH equ 23
CH_VOLUME       equ 24  ; 1..15, times 8: the channel's row in the level table
CH_NOTE         equ 25  ; 0..95
CH_ENVELOPE_ON  equ 26  ; 16 while the channel uses the envelope (the amplitude's bit 4), else 0
CH_PERIOD       equ 27  ; word: the tone period written to the AY (12 bits; bit 15 marks a sound effect's)
CH_SLIDE_STEP   equ 29  ; word
CH_SLIDE_DELAY  equ 31
CH_TARGET_NOTE  equ 32  ; the note a portamento ends on; 0xFF while the slide is a glissando
CH_DISTANCE     equ 33  ; word: period difference a portamento covers
CH_ON_TIME      equ 35
CH_OFF_TIME     equ 36
CH_AMPLITUDE    equ 37  ; this frame's R8/R9/R10 value
CH_SAMPLE_NUMBER equ 38 ; the current sample's header offset (105 + 2n), 0 before the first
CH_ORNAMENT_NUMBER equ 39 ; the current ornament's (169 + 2n)
PT3_CH          equ 40

; Shared state, at fixed places inside pt3_work.
pt3_base          equ pt3_work + 0    ; word: address of the module
pt3_version       equ pt3_work + 2    ; the module's version digit (0..9, 6 when not a digit)
pt3_speed         equ pt3_work + 3
pt3_speed_count   equ pt3_work + 4
pt3_position      equ pt3_work + 5
pt3_noise_base    equ pt3_work + 6
pt3_noise_value   equ pt3_work + 7
pt3_env_base      equ pt3_work + 8    ; word: the envelope period with its slide so far
pt3_env_step      equ pt3_work + 12   ; word
pt3_env_delay     equ pt3_work + 14
pt3_env_count     equ pt3_work + 15
pt3_prev_note     equ pt3_work + 16   ; the channel's note and slide before the row being read
pt3_prev_slide    equ pt3_work + 17   ; word
pt3_mixer         equ pt3_work + 16   ; R7 and the envelope offsets of the frame, worked out
pt3_env_sum       equ pt3_work + 17   ; once the rows are read
pt3_effect_count  equ pt3_work + 19   ; effects noted in the row being read
pt3_effects       equ pt3_work + 20   ; their codes, each once, in the order last met (up to 7)
pt3_env_shape     equ pt3_work + 27   ; R13 when a row has set it (1..15) for this call, else 0
pt3_patterns      equ pt3_work + 28   ; word: address of the pattern table
pt3_line          equ pt3_work + 30   ; word: b0 and b1 of channel A's sample line, kept for a tick
pt3_channel_a     equ pt3_work + 32
pt3_channel_b     equ pt3_channel_a + PT3_CH
pt3_channel_c     equ pt3_channel_b + PT3_CH
pt3_tone_table    equ pt3_channel_c + PT3_CH   ; 96 words: the module's note periods
pt3_level_table   equ pt3_tone_table + 192     ; volumes 1..15: 8 bytes of two levels each
PT3_WORK_SIZE     equ pt3_level_table + 120 - pt3_work

AY_SELECT_HIGH  equ 0xFF    ; port 0xFFFD selects a register
AY_DATA_HIGH    equ 0xBF    ; port 0xBFFD writes it

; AY register A := L (or H), then A moves on to the next register. D and E hold the high
; bytes of the select and data ports, C their low byte.
pt3_out_l       macro
        ld b,d
        out (c),a
        ld b,e
        out (c),l
        inc a
        endm

pt3_out_h       macro
        ld b,d
        out (c),a
        ld b,e
        out (c),h
        inc a
        endm

; ---------------------------------------------------------------------------------------------
; The tone and level tables depend only on the module's version and header byte 99, and their
; builder (with the packed tone tables) is the largest part of the set-up, so it is a macro,
; pt3_tables_part, that an includer may place where it likes: it defines pt3_tables_elsewhere,
; puts pt3_tables_part where the code travels, and pt3_tables_at where it runs (copied there, or
; the same place). Without pt3_tables_elsewhere the part follows the rest of the player. Inside
; the part, calls and addresses of its own labels add pt3_tables_shift; a jump relative to the
; code needs nothing.
; pt3_tables: A = header byte 99, B = byte 13 (pt3_init_start returns both). Sets the version
; and reads nothing of the module, so the module may be out of sight (paged out) while it runs.
pt3_tables_part macro
pt3_tables_code:
        push af
        ld a,b                  ; the version digit
        sub '0'
        cp 10
        jr c,pt3_tables_version
        ld a,6
pt3_tables_version:
        ld (pt3_version),a
        pop af
; The module's tone table. Each packed table is a list of corrections (note, period) ended by
; 0x80, then the lowest octave (the first period, then by how much each next one is lower),
; then one bit per higher note: its period is half the period an octave below, plus that bit.
; The corrections are applied last.
; The REAL tables are the PT table of versions 4 and later one note higher, so they are built
; from it one note further on, their corrections counted from there too (note 255 is then
; note 0); what that pushes past note 95 lands in the level table, which is built later.
        ld c,0                  ; C = the notes the table is moved up by
        cp 3
        jr c,pt3_tone_number
        inc c
        ld a,3
pt3_tone_number:
        add a,a
        ld b,a
        ld a,(pt3_version)
        cp 4
        ccf
        ld a,b
        adc a,0                 ; 2 * table + (version >= 4)
        ld e,a
        ld d,0
        ld hl,pt3_tone_tables + pt3_tables_shift
        add hl,de
        ld e,(hl)
        add hl,de               ; each offset counts from its own byte
        push hl
        push bc
pt3_tone_skip:
        ld a,(hl)
        inc hl
        cp 0x80
        jr z,pt3_tone_octave
        inc hl
        inc hl
        jr pt3_tone_skip
pt3_tone_octave:
        ld de,pt3_tone_table
        bit 0,c
        jr z,pt3_tone_first
        inc de
        inc de
pt3_tone_first:
        push de
        pop ix
        ld e,(hl)
        inc hl
        ld d,(hl)
        inc hl
        ld b,96
pt3_tone_note:                  ; B = the notes still to store, the first one in DE
        ld (ix+0),e
        ld (ix+1),d
        inc ix
        inc ix
        dec b
        jr z,pt3_tone_done
        ld a,b
        cp 85
        jr c,pt3_tone_high
        ld a,e                  ; the lowest octave: 11 steps down from its first period
        sub (hl)
        inc hl
        ld e,a
        jr nc,pt3_tone_note
        dec d
        jr pt3_tone_note
pt3_tone_high:
        and 7
        cp 4                    ; every eighth note, from the first: the next byte of bits
        jr nz,pt3_tone_bit
        ld c,(hl)
        inc hl
pt3_tone_bit:
        ld e,(ix-24)
        ld d,(ix-23)
        srl d
        rr e
        rr c
        jr nc,pt3_tone_note
        inc de
        jr pt3_tone_note
pt3_tone_done:
        pop bc
        pop hl
pt3_tone_patch:
        ld a,(hl)
        inc hl
        cp 0x80
        jr z,pt3_tone_built
        add a,c
        add a,a
        ld de,pt3_tone_table
        add a,e
        ld e,a
        adc a,d
        sub e
        ld d,a
        ld a,(hl)
        ld (de),a
        inc hl
        inc de
        ld a,(hl)
        ld (de),a
        inc hl
        jr pt3_tone_patch
pt3_tone_built:
        ld a,(pt3_version)

; The level table of version A: for each volume v = 1..15, eight bytes hold the levels
; of amplitudes 0..15, the even amplitude in the low nibble. The level of amplitude a is
; (a * v + 7) / 15 from version 5 on, and a * (v + 1) / 16 before: going up the amplitudes,
; a remainder grows by v (or v + 1) and the level by one each time it passes 15 (or 16).
        ld hl,15 * 256 + 7      ; H = the divisor, L = the first remainder
        ld b,0                  ; B = what the volume's step adds to v
        cp 5
        jr nc,pt3_level_start
        ld hl,16 * 256 + 0
        inc b
pt3_level_start:
        ld ix,pt3_level_table
        ld c,1                  ; C = the volume
pt3_level_row:
        ld a,c
        add a,b
        ld e,a                  ; E = the step
        ld d,l                  ; D = the remainder
        push bc
        ld bc,8 * 256 + 0       ; B = bytes in the row, C = the level
pt3_level_pair:
        ld (ix+0),c
        call pt3_level_step + pt3_tables_shift
        ld a,c
        rlca
        rlca
        rlca
        rlca
        or (ix+0)
        ld (ix+0),a
        call pt3_level_step + pt3_tables_shift
        inc ix
        djnz pt3_level_pair
        pop bc
        inc c
        bit 4,c
        jr z,pt3_level_row
        ret

pt3_level_step:
        ld a,d
        add a,e
        cp h
        jr c,pt3_level_step_keep
        sub h
        inc c
pt3_level_step_keep:
        ld d,a
        ret

; Tone tables, packed as described where pt3_init builds the table, found through the offset at
; 2 * table number + 1 for module versions 4 and later. The REAL tables share the PT table of
; versions 4 on: the corrections of the three run on into one another.
pt3_tone_tables:
        db pt3_tone_pt_old - $
        db pt3_tone_pt_new - $
        db pt3_tone_st - $
        db pt3_tone_st - $
        db pt3_tone_asm_old - $
        db pt3_tone_asm_new - $
        db pt3_tone_real_old - $
        db pt3_tone_real_new - $
pt3_tone_real_old:
        db 43 - 1
        dw 0x0113
pt3_tone_real_new:
        db 0 - 1
        dw 0x0CDA
pt3_tone_pt_new:
        db 95
        dw 0x000C
        db 0x80
        dw 0x0C22
        db 0xAF, 0xA4, 0x9C, 0x92, 0x8A, 0x83, 0x7B, 0x75, 0x6D, 0x68, 0x62
        db 0x0A, 0x48, 0x62, 0x00, 0x09, 0x08, 0x6A, 0x12, 0x91, 0x04, 0x00
pt3_tone_pt_old:
        db 0x80
        dw 0x0C21
        db 0xAE, 0xA5, 0x9B, 0x93, 0x8A, 0x83, 0x7B, 0x74, 0x6E, 0x68, 0x61
        db 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00
pt3_tone_st:
        db 23
        dw 0x03FD
        db 46
        dw 0x010A
        db 0x80
        dw 0x0EF8
        db 0xE8, 0xB0, 0xE0, 0xA8, 0xB0, 0xA0, 0x98, 0x90, 0x80, 0x88, 0x78
        db 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00
pt3_tone_asm_old:
        db 86
        dw 0x0019
        db 87
        dw 0x0018
        db 0x80
        dw 0x0D3E
        db 0xBE, 0xB4, 0xAA, 0xA0, 0x96, 0x90, 0x86, 0x7E, 0x78, 0x72, 0x6A
        db 0x00, 0x00, 0x49, 0x41, 0x40, 0x02, 0xA0, 0x85, 0xBC, 0x03, 0x00
pt3_tone_asm_new:
        db 95
        dw 0x000D
        db 0x80
        dw 0x0D10
        db 0xBB, 0xB1, 0xA8, 0x9D, 0x95, 0x8D, 0x85, 0x7D, 0x76, 0x70, 0x69
        db 0x00, 0x04, 0x11, 0x4A, 0x06, 0x9A, 0x03, 0x44, 0x80, 0x32, 0x00
        endm

; The resident steps of the set-up; pt3_init_channels comes first, so that an includer's code
; right before this file may run on into it.
; pt3_init_channels: the module at pt3_base, its tables built: the channels, the first
; position, the first row; silences the AY.
pt3_init_channels:
        ld a,100
        call pt3_header_byte
        ld l,a
        ld h,1                  ; the speed count: the first call is a tick
        ld (pt3_speed),hl
        ld ix,pt3_channel_a
        ld b,3
pt3_init_channel:
        push bc
        ld (ix+CH_VOLUME),15 * 8
        inc (ix+CH_SKIP_COUNT)
        xor a
        call pt3_select_ornament
        ld a,1
        call pt3_select_sample
        pop bc
        ld de,PT3_CH
        add ix,de
        djnz pt3_init_channel
        ld a,98                 ; a byte other than a space here shifts the first pattern
        call pt3_header_byte
        ld c,a
        ld de,201 - 98          ; the first position
        add hl,de
        ld b,(hl)
        ld a,c
        cp ' '
        ld a,b
        jr z,pt3_init_pattern
        ld a,c                  ; P := byte 98 * 3 - 3 - P
        add a,a
        add a,c
        sub 3
        sub b
pt3_init_pattern:
        push af
        ld a,103
        call pt3_header_word
        ld (pt3_patterns),hl
        pop af
        call pt3_point_streams
        call pt3_play_ahead     ; the first call is a tick
        ; fall through: start silent

pt3_mute:
        ld de,AY_SELECT_HIGH * 256 + AY_DATA_HIGH
        ld c,0xFD
        ld l,0
        ld a,8
pt3_mute_next:
        pt3_out_l
        cp 11
        jr nz,pt3_mute_next
        ret


; pt3_init_start: HL = module. Clears the channels and the shared state (the tables and the
; version stay as they are); returns A = header byte 99 and B = byte 13 for pt3_tables.
pt3_init_start:
        ld (pt3_base),hl
        ld hl,pt3_work + 3
        ld b,pt3_tone_table - pt3_work - 3
pt3_init_clear:
        ld (hl),0
        inc hl
        djnz pt3_init_clear
        ld a,13                 ; the version digit
        call pt3_header_byte
        ld b,a
        ld a,99
        ; fall through

; HL := address of header byte A, A := that byte.
pt3_header_byte:
        ld hl,(pt3_base)
        add a,l
        ld l,a
        adc a,h
        sub l
        ld h,a
        ld a,(hl)
        ret

; The includer may name free bytes elsewhere (pt3_low_area) for the routines from here to
; pt3_low_end; it checks that they fit.
        if defined pt3_low_area
pt3_main_code   equ $
        org pt3_low_area
        endif

; HL := module address + the word at header offset A. Changes BC.
pt3_header_word:
        ld bc,(pt3_base)
        ld l,a
        ld h,0
        add hl,bc
        ld a,(hl)
        inc hl
        ld h,(hl)
        ld l,a
        add hl,bc
        ret

; Channel IX takes sample A: its loop, length and first position. Rows mostly select again
; what the channel has, which changes nothing. Both keep HL (in DE, which they change with BC).
pt3_select_sample:
        add a,a
pt3_select_sample_twice:        ; (A = twice the number)
        add a,105
        cp (ix+CH_SAMPLE_NUMBER)
        ret z
        ld (ix+CH_SAMPLE_NUMBER),a
        ex de,hl
        call pt3_header_word
        ld a,(hl)
        ld (ix+CH_SAMPLE_LOOP),a
        inc hl
        ld a,(hl)
        ld (ix+CH_SAMPLE_LENGTH),a
        inc hl
        ld (ix+CH_SAMPLE),l
        ld (ix+CH_SAMPLE+1),h
        ex de,hl
        ret

; Effect 8, the envelope slide: its delay, then its step.
pt3_effect_envelope_slide:
        ld a,(hl)
        inc hl
        ld (pt3_env_delay),a
        ld (pt3_env_count),a
        ld e,(hl)
        inc hl
        ld d,(hl)
        inc hl
        ld (pt3_env_step),de
        ret

        if defined pt3_low_area
pt3_low_end:
        org pt3_main_code
        endif

; HL := the period of note A in the module's tone table.
pt3_note_period:
        add a,a
        add a,pt3_tone_table & 0xFF
        ld l,a
        adc a,pt3_tone_table / 256
        sub l
        ld h,a
        ld a,(hl)
        inc hl
        ld h,(hl)
        ld l,a
        ret

; Channel IX takes ornament A from its first position.
pt3_select_ornament:
        ld (ix+CH_ORNAMENT_POS),0
        add a,a
        add a,169
        cp (ix+CH_ORNAMENT_NUMBER)
        ret z
        ld (ix+CH_ORNAMENT_NUMBER),a
        ex de,hl
        call pt3_header_word
        ld a,(hl)
        ld (ix+CH_ORNAMENT_LOOP),a
        inc hl
        ld a,(hl)
        ld (ix+CH_ORNAMENT_LENGTH),a
        inc hl
        ld (ix+CH_ORNAMENT),l
        ld (ix+CH_ORNAMENT+1),h
        ex de,hl
        ret

; Points the three streams at pattern A (a position-list value: pattern number * 3): each is
; the module's address plus an offset of the pattern.
pt3_point_streams:
        ld l,a
        ld h,0
        add hl,hl               ; + 2 * P: the pattern's three stream offsets
        ld de,(pt3_patterns)
        add hl,de
        ld de,(pt3_base)
        ld bc,pt3_channel_a + CH_STREAM
pt3_point_stream:
        ld a,(hl)
        inc hl
        add a,e
        ld (bc),a
        inc bc
        ld a,(hl)
        inc hl
        adc a,d
        ld (bc),a
        ld a,c                  ; on to the next channel's stream
        add a,PT3_CH - 1
        ld c,a
        jr nc,pt3_point_stream_page
        inc b
pt3_point_stream_page:
        cp (pt3_channel_c + PT3_CH + CH_STREAM) & 0xFF
        jr nz,pt3_point_stream
        ret


; ---------------------------------------------------------------------------------------------
pt3_play_rest:                  ; (a tick: the rest of channel A's frame, see below)
        call pt3_frame_rest
        jr pt3_play_b

; A tick reads the rows of channels B and C; channel A's row was read at the end of the call
; before (see pt3_play_ahead).
pt3_play:
        ld hl,pt3_speed_count
        dec (hl)                ; not zero: not a tick
        jp nz,pt3_play_channels
        ld ix,pt3_channel_b
        call pt3_tick_channel
        ld ix,pt3_channel_c
        call pt3_tick_channel
        ld a,(pt3_speed)
        ld (pt3_speed_count),a
        cp a                    ; zero: a tick, channel A's first half is done
pt3_play_channels:
        ld hl,0                 ; the frame's mixer bits and envelope offset sum start at 0
        ld (pt3_mixer),hl
        ld ix,pt3_channel_a
        jr z,pt3_play_rest
        call pt3_channel_frame
pt3_play_b:
        ld ix,pt3_channel_b
        call pt3_channel_frame
        ld ix,pt3_channel_c
        call pt3_channel_frame
        ld hl,(pt3_noise_base)  ; R6 and R7 (the noise value follows the base)
        ld a,l
        add a,h
        and 31
        ld l,a
        ld a,(pt3_mixer)
        ld h,a
        if defined pt3_with_ayfx
        ld a,(ayfx_busy)        ; a sound effect takes its part of the frame's registers
        or a
        call nz,ayfx_frame
        endif
        push hl
        ld de,AY_SELECT_HIGH * 256 + AY_DATA_HIGH
        ld c,0xFD
        ld hl,pt3_env_shape     ; R13 first, when a row set it
        ld a,(hl)
        or a
        jp z,pt3_play_r11
        ld b,d
        ld a,13
        out (c),a
        ld b,e
        ld a,(hl)
        ld (hl),0               ; R13 is written once
        out (c),a
pt3_play_r11:
        ld a,(pt3_env_sum)      ; R11 and R12: envelope base and slide + signed offset sum
        ld c,a
        add a,a
        sbc a,a
        ld b,a
        ld hl,(pt3_env_base)
        add hl,bc
        ld c,0xFD
pt3_play_out:
        ld a,11
        pt3_out_l
        pt3_out_h
        xor a
        ld hl,(pt3_channel_a + CH_PERIOD)
        pt3_out_l
        pt3_out_h
        ld hl,(pt3_channel_b + CH_PERIOD)
        pt3_out_l
        pt3_out_h
        ld hl,(pt3_channel_c + CH_PERIOD)
        pt3_out_l
        pt3_out_h
        pop hl
        pt3_out_l
        pt3_out_h
        ld hl,(pt3_channel_a + CH_AMPLITUDE)
        pt3_out_l
        ld hl,(pt3_channel_b + CH_AMPLITUDE)
        pt3_out_l
        ld hl,(pt3_channel_c + CH_AMPLITUDE)
        pt3_out_l
pt3_play_env_slide:
        ld hl,pt3_env_count
        ld a,(hl)
        dec a
        cp 127                  ; counts down only from 1..127
        jp nc,pt3_play_ahead
        ld (hl),a
        or a
        jr nz,pt3_play_ahead
        ld a,(pt3_env_delay)
        ld (hl),a
        ld hl,(pt3_env_base)    ; the slide moves the base itself
        ld de,(pt3_env_step)
        add hl,de
        ld (pt3_env_base),hl
        ; fall through

; When the next call is a tick that moves channel A on to its next row, that row is read now,
; once this call's registers are written: channel A's state is not used again before the next
; call, and the rows of a tick are spread over two calls. The position changes here too when
; channel A's pattern has ended and the call before has not moved it on (see pt3_play_early),
; so the next call's rows of B and C come from the new pattern. R13 of an envelope command in
; the row waits for the next call.
pt3_play_ahead:
        ld a,(pt3_speed_count)
        dec a
        jr nz,pt3_play_early
        ld ix,pt3_channel_a
        dec (ix+CH_SKIP_COUNT)
        jr nz,pt3_play_ahead_tone
        ld hl,pt3_noise_base
        bit 7,(hl)
        jr z,pt3_play_ahead_end
        ld (hl),0               ; the position moved in the call before
        jr pt3_play_ahead_row
pt3_play_ahead_end:
        ld hl,(pt3_channel_a + CH_STREAM)
        ld a,(hl)
        or a
        call z,pt3_next_position
pt3_play_ahead_row:
        call pt3_read_row
; The first half of channel A's next frame (its tone period and slide) is worked out now as
; well, when the channel sounds; the tick does the rest from the sample line kept here.
pt3_play_ahead_tone:           ; (IX = channel A)
        ld a,(ix+CH_ENABLED)
        or a
        ret z
        call pt3_frame_tone
        ld (pt3_line),bc
        ret

; When the call after the next one is a tick at which channel A's pattern ends, the position
; moves on now, a call early, so that the call reading channel A's row costs less (at speed 3
; or more this call reads no row at all). B and C read no row before that tick, and channel A
; goes on to its new stream only in the next call. The new position's noise base (0) waits for
; that call as well: bit 7 of the base marks it, a bit R6 does not take.
pt3_play_early:
        dec a
        ret nz
        ld hl,(pt3_channel_a + CH_STREAM)
        ld a,(pt3_channel_a + CH_SKIP_COUNT)
        dec a
        or (hl)
        ret nz
        ld hl,pt3_noise_base
        set 7,(hl)
        jp pt3_next_position_keep

; Row commands that take no further action: back to the next byte of the row.
pt3_row_skip:
        ld a,(hl)
        inc hl
        ld (ix+CH_SKIP),a
        jp pt3_row_byte

pt3_row_envelope_b:             ; B2..BF
        call pt3_row_envelope_start
        jr pt3_row_ornament_restart
pt3_row_b0:
        ld (ix+CH_ENVELOPE_ON),0
pt3_row_ornament_restart:
        ld (ix+CH_ORNAMENT_POS),0
        jr pt3_row_byte


pt3_row_env_off_sample:
        ld (ix+CH_ENVELOPE_ON),0
pt3_row_ornament_sample:
        ld (ix+CH_ORNAMENT_POS),0
pt3_row_sample_byte:
        ld a,(hl)               ; the sample number is stored doubled
        inc hl
        and 0xFE
pt3_row_select_sample:
        call pt3_select_sample_twice
        jp pt3_row_byte

pt3_row_noise:
        sub 0x20
        ld (pt3_noise_base),a
        jr pt3_row_byte

pt3_row_ornament:
        sub 0x40
        call pt3_select_ornament
        jp pt3_row_byte

pt3_tick_channel:
        dec (ix+CH_SKIP_COUNT)
        ret nz
        ; fall through

; Reads one pattern row of channel IX.
pt3_read_row:                   ; (the row end leaves no effects noted)
        ld l,(ix+CH_STREAM)
        ld h,(ix+CH_STREAM+1)
pt3_row_byte:
        ld a,(hl)
        inc hl
        cp 0x50
        jr c,pt3_row_low
        cp 0xB0
        jp c,pt3_row_note
pt3_row_high:                   ; B0..FF, the row's end and samples first
        cp 0xD0
        jr c,pt3_row_b_to_c
        jp z,pt3_row_end
        sub 0xF0
        jr nc,pt3_row_f0_to_ff
        add a,0xF0 - 0xD0       ; D1..EF: the sample, doubled
        add a,a
        call pt3_select_sample_twice
        jp pt3_row_byte
pt3_row_f0_to_ff:               ; ornament, sample, envelope off (the ornament restarts twice)
        call pt3_select_ornament
        jr pt3_row_env_off_sample
pt3_row_b_to_c:                 ; B0..CF, the volumes first
        cp 0xC1
        jr nc,pt3_row_volume
        sub 0xB1
        jr z,pt3_row_skip
        jr c,pt3_row_b0
        cp 0xC0 - 0xB1
        jr c,pt3_row_envelope_b ; B2..BF: shapes 1..14
        ld c,0                  ; C0: sound off
        jr pt3_row_note_reset
pt3_row_volume:                 ; C1..CF: the volume times 8 (0xC0 * 8 drops out)
        add a,a
        add a,a
        add a,a
        ld (ix+CH_VOLUME),a
        jp pt3_row_byte

pt3_row_low:
        cp 0x40
        jr nc,pt3_row_ornament
        cp 0x10
        jr c,pt3_row_low_effect
        jr z,pt3_row_env_off_sample
        cp 0x20
        jr nc,pt3_row_noise
pt3_row_envelope:
        sub 0x10                ; 11..1F: shapes 1..15
        call pt3_row_envelope_start
        jr pt3_row_ornament_sample
pt3_row_low_effect:
        dec a                   ; 01..05, 08 and 09: effects to read after the row end
        cp 9
        jr nc,pt3_row_byte
        cp 5
        jr c,pt3_row_effect
        cp 7
        jr c,pt3_row_byte
pt3_row_effect:                 ; effect A + 1: to the end of the list, once
        inc a
        push hl
        cp 2                    ; a portamento goes on from the note and slide before the row
        jr nz,pt3_row_effect_note
        ld l,(ix+CH_NOTE)
        ld (pt3_prev_note),hl   ; (the byte after it is overwritten next)
        ld l,(ix+CH_SLIDE)
        ld h,(ix+CH_SLIDE+1)
        ld (pt3_prev_slide),hl
pt3_row_effect_note:
        ld hl,pt3_effect_count
        ld c,(hl)
        inc c
        dec c
        jr nz,pt3_row_effect_more
        inc (hl)                ; the row's first: the list is A alone
        inc hl
        ld (hl),a
        pop hl
        jp pt3_row_byte
pt3_row_effect_more:
        ld b,0
        inc hl                  ; the list
        cpir
        jr nz,pt3_row_effect_new ; HL: the end of the list
        jp po,pt3_row_effect_done ; met before as the last one: nothing changes
        ld d,h                  ; met before: the later ones move down over it
        ld e,l
        dec de
        ldir
        ld (de),a
        jr pt3_row_effect_done
pt3_row_effect_new:
        ld (hl),a
        ld hl,pt3_effect_count
        inc (hl)
pt3_row_effect_done:
        pop hl
        jp pt3_row_byte

pt3_row_note:
        sub 0x50
        ld (ix+CH_NOTE),a
        ld c,1
; A note or sound off starts the sample, ornament, slides and accumulators afresh.
pt3_row_note_reset:
        push ix
        pop de
        ex de,hl
        xor a
        rept CH_ENABLED
        ld (hl),a
        inc hl
        endm
        ld (hl),c
        ex de,hl
        ; fall through

; The row has ended: read the parameters of the effects noted, the last-met effect first; the
; list is left empty for the next row.
pt3_row_end:
        ld a,(pt3_effect_count)
        or a
        jr z,pt3_row_done
        ld c,a                  ; C = the effects left (the effects keep BC)
        ld b,0
pt3_row_effect_next:
        dec c
        jr z,pt3_row_effect_first
        push hl
        ld hl,pt3_effects
        add hl,bc
        ld a,(hl)
        pop hl
        call pt3_effect
        jr pt3_row_effect_next
pt3_row_effect_first:           ; the list's first, often its only one; the list empties
        ld a,(pt3_effects)
        ld (pt3_effect_count),bc
        call pt3_effect
pt3_row_done:
        ld (ix+CH_STREAM),l
        ld (ix+CH_STREAM+1),h
        ld a,(ix+CH_SKIP)
        ld (ix+CH_SKIP_COUNT),a
        ret

; Commands 11..1F and B2..BF: shape A goes to R13 now, the base period follows high byte
; first (and takes back what a slide added), the channel's envelope goes on and a running
; envelope slide stops.
pt3_row_envelope_start:
        ld (pt3_env_shape),a
        ld d,(hl)
        inc hl
        ld e,(hl)
        inc hl
        ld (pt3_env_base),de
        ld (ix+CH_ENVELOPE_ON),16
        xor a
        ld (pt3_env_count),a
        ret


; Channel A is due to read a row but its pattern has ended: go on to the next position.
pt3_next_position:
        xor a                   ; the new position starts with noise base 0
        ld (pt3_noise_base),a
pt3_next_position_keep:
        ld a,101                ; number of positions, then the loop position
        call pt3_header_byte
        ld a,(pt3_position)
        inc a
        cp (hl)
        jr nz,pt3_next_position_set
        inc hl
        ld a,(hl)
        dec hl
pt3_next_position_set:
        ld (pt3_position),a
        ld de,201 - 101         ; the position list
        add hl,de
        ld e,a
        add hl,de
        ld a,(hl)
        jp pt3_point_streams

; Reads the parameters of effect A of channel IX from HL and applies them.
pt3_effect:
        dec a
        jr z,pt3_effect_glissando
        dec a
        jr z,pt3_effect_portamento
        cp 8 - 2                ; speed and envelope slide, the commonest, before the rest
        jr nc,pt3_effect_8_or_9
        dec a
        jr z,pt3_effect_sample_position
        dec a
        jr z,pt3_effect_ornament_position
pt3_effect_on_off:              ; effect 5
        ld a,(hl)
        inc hl
        ld (ix+CH_ON_TIME),a
        ld (ix+CH_ONOFF_COUNT),a
        ld a,(hl)
        inc hl
        ld (ix+CH_OFF_TIME),a
; Stops the tone slide and takes back what it added.
pt3_slide_stop:
        xor a
        ld (ix+CH_SLIDE_COUNT),a
        ld (ix+CH_SLIDE),a
        ld (ix+CH_SLIDE+1),a
        ret

pt3_effect_sample_position:
        ld a,(hl)
        inc hl
        ld (ix+CH_SAMPLE_POS),a
        ret

pt3_effect_ornament_position:
        ld a,(hl)
        inc hl
        ld (ix+CH_ORNAMENT_POS),a
        ret

pt3_effect_8_or_9:
        jp z,pt3_effect_envelope_slide
        ld a,(hl)               ; effect 9: speed
        inc hl
        ld (pt3_speed),a
        ret

pt3_effect_glissando:
        call pt3_slide_start
        ld (ix+CH_TARGET_NOTE),0xFF
        or a                    ; from version 7 on, delay 0 still makes one step
        jr nz,pt3_glissando_step
        ld a,(pt3_version)
        cp 7
        jr c,pt3_glissando_step
        inc (ix+CH_SLIDE_COUNT) ; (0: the delay)
pt3_glissando_step:
        ld e,(hl)
        inc hl
        ld d,(hl)
        inc hl
        push hl
        jr pt3_portamento_step

; Reads the slide delay and starts counting it; a slide stops the on/off effect.
pt3_slide_start:
        ld a,(hl)
        inc hl
        ld (ix+CH_SLIDE_DELAY),a
        ld (ix+CH_SLIDE_COUNT),a
        ld (ix+CH_ONOFF_COUNT),0
        ret

pt3_effect_portamento:
        call pt3_slide_start
        inc hl
        inc hl
        ld e,(hl)
        inc hl
        ld d,(hl)
        inc hl
        push hl
        push de                 ; the step: only its size counts
        ld a,(ix+CH_NOTE)
        ld (ix+CH_TARGET_NOTE),a
        call pt3_note_period
        push hl
        ld a,(pt3_prev_note)
        ld (ix+CH_NOTE),a
        call pt3_note_period
        ex de,hl
        pop hl
        or a
        sbc hl,de
        ld (ix+CH_DISTANCE),l
        ld (ix+CH_DISTANCE+1),h
        ld a,(pt3_version)
        cp 6
        jr c,pt3_portamento_direction
        ld de,(pt3_prev_slide)  ; from version 6 on the slide goes on from where it was
        ld (ix+CH_SLIDE),e
        ld (ix+CH_SLIDE+1),d
        jr pt3_portamento_compare
pt3_portamento_direction:
        ld e,(ix+CH_SLIDE)
        ld d,(ix+CH_SLIDE+1)
pt3_portamento_compare:         ; DE = the slide
        or a                    ; bit 7: the slide goes down to the target (HL < DE, signed)
        sbc hl,de
        ld a,h
        jp po,pt3_portamento_sign
        cpl                     ; (an overflow turns the sign round)
pt3_portamento_sign:
        pop de
        xor d                   ; negative when the step's sign is the wrong way
        jp p,pt3_portamento_step
        xor a
        sub e
        ld e,a
        sbc a,a
        sub d
        ld d,a
pt3_portamento_step:
        ld (ix+CH_SLIDE_STEP),e
        ld (ix+CH_SLIDE_STEP+1),d
        pop hl
        ret

; One frame of channel IX (pt3_channel_frame, below): its period, amplitude, noise or envelope
; offset and mixer bits; on a tick, pt3_frame_rest does the rest of channel A's frame from the
; line pt3_play_ahead kept.
; Jumps mostly taken are JP, which takes 10 T-states either way; the others JR.
; The first half of a sounding channel's frame: reads the sample line (C = b0, B = b1) and
; works out the tone period; the sample and ornament positions move on as they are read (no
; one reads them before the next frame), then the tone slide.
pt3_frame_tone:
        ld a,(ix+CH_SAMPLE_POS) ; the position moves on now, back to the loop past the end
        ld l,a
        inc a
        cp (ix+CH_SAMPLE_LENGTH)
        jp c,pt3_frame_tone_line
        ld a,(ix+CH_SAMPLE_LOOP)
pt3_frame_tone_line:
        ld (ix+CH_SAMPLE_POS),a
        ld h,0
        add hl,hl
        add hl,hl
        ld e,(ix+CH_SAMPLE)
        ld d,(ix+CH_SAMPLE+1)
        add hl,de
        ld c,(hl)               ; C = b0, B = b1, DE = tone offset
        inc hl
        ld b,(hl)
        inc hl
        ld e,(hl)
        inc hl
        ld d,(hl)
        ld l,(ix+CH_TONE_ACC)
        ld h,(ix+CH_TONE_ACC+1)
        add hl,de
        bit 6,b
        jp z,pt3_frame_note
        ld (ix+CH_TONE_ACC),l
        ld (ix+CH_TONE_ACC+1),h
pt3_frame_note:
        ld e,(ix+CH_SLIDE)
        ld d,(ix+CH_SLIDE+1)
        add hl,de
        ex de,hl                ; DE = tone offset + slide
        ld a,(ix+CH_ORNAMENT_POS) ; the ornament's position moves on as the sample's
        ld l,a
        inc a
        cp (ix+CH_ORNAMENT_LENGTH)
        jr c,pt3_frame_ornament_next
        ld a,(ix+CH_ORNAMENT_LOOP)
pt3_frame_ornament_next:
        ld (ix+CH_ORNAMENT_POS),a
        ld a,l
        add a,(ix+CH_ORNAMENT)
        ld l,a
        ld a,(ix+CH_ORNAMENT+1)
        adc a,0
        ld h,a
        ld a,(ix+CH_NOTE)
        add a,(hl)
        cp 96
        jp c,pt3_frame_period
        add a,a                 ; past 127 the lowest note, else the highest
        sbc a,a
        cpl
        and 95
pt3_frame_period:                 ; (pt3_note_period written out: each channel, every frame)
        add a,a
        add a,pt3_tone_table & 0xFF
        ld l,a
        adc a,pt3_tone_table / 256
        sub l
        ld h,a
        ld a,(hl)
        inc hl
        ld h,(hl)
        ld l,a
        add hl,de
        ld (ix+CH_PERIOD),l
        ld a,h
        and 0x0F
        ld (ix+CH_PERIOD+1),a
        ld a,(ix+CH_SLIDE_COUNT)    ; the tone slide moves after this frame's period
        or a
        ret z
        dec a
        jr nz,pt3_frame_slide_count
pt3_frame_slide_step:           ; (the commonest way: a slide steps every frame)
        ld l,(ix+CH_SLIDE)
        ld h,(ix+CH_SLIDE+1)
        ld e,(ix+CH_SLIDE_STEP)
        ld d,(ix+CH_SLIDE_STEP+1)
        add hl,de
        ld (ix+CH_SLIDE),l
        ld (ix+CH_SLIDE+1),h
        ld a,(ix+CH_SLIDE_DELAY)
        ld (ix+CH_SLIDE_COUNT),a
        ld a,(ix+CH_TARGET_NOTE)
        inc a
        ret z
        bit 7,d                     ; (D: the step's high byte)
        ld e,(ix+CH_DISTANCE)
        ld d,(ix+CH_DISTANCE+1)
        jr z,pt3_frame_target
        ex de,hl
pt3_frame_target:
        or a                        ; not yet at the target while HL < DE (signed)
        sbc hl,de
        jp po,pt3_frame_target_sign
        ret p                       ; (an overflow turns the sign round)
        jr pt3_frame_target_reached
pt3_frame_target_sign:
        ret m
pt3_frame_target_reached:
        dec a                       ; (A is still the target note + 1)
        ld (ix+CH_NOTE),a
        jp pt3_slide_stop
pt3_frame_slide_count:
        ld (ix+CH_SLIDE_COUNT),a
        ret

pt3_frame_rest:
        ld a,(ix+CH_ENABLED)
        or a
        ld bc,(pt3_line)
        jr nz,pt3_frame_level_part
pt3_frame_silent:
        ld (ix+CH_AMPLITUDE),a  ; a silent channel leaves tone and noise on in the mixer
        jp pt3_frame_mixer

pt3_channel_frame:
        ld a,(ix+CH_ENABLED)
        or a
        jr z,pt3_frame_silent
        call pt3_frame_tone
; The second half of a sounding channel's frame, from the sample line's b0 (C) and b1 (B):
; its amplitude, noise or envelope offset and mixer bits.
pt3_frame_level_part:
        bit 7,c
        jp z,pt3_frame_level
        ld a,(ix+CH_AMP_SLIDE)
        bit 6,c
        jr z,pt3_frame_slide_down
        cp 15
        jr z,pt3_frame_level
        inc a
        jr pt3_frame_slide_store
pt3_frame_slide_down:
        cp -15 & 0xFF
        jr z,pt3_frame_level
        dec a
pt3_frame_slide_store:
        ld (ix+CH_AMP_SLIDE),a
pt3_frame_level:
        ld a,b
        and 0x0F
        add a,(ix+CH_AMP_SLIDE)
        cp 16
        jp c,pt3_frame_volume
        add a,a                 ; below 0 silent, else the loudest
        sbc a,a
        cpl
        and 15
        scf
pt3_frame_volume:               ; (carry set)
        ld e,a                  ; the level table row of the volume, two amplitudes a byte
        rra                     ; (bit 7 set, taken back from the table's address)
        or (ix+CH_VOLUME)
        add a,(pt3_level_table - 8 - 128) & 0xFF
        ld l,a
        adc a,(pt3_level_table - 8 - 128) / 256
        sub l
        ld h,a
        ld a,(hl)
        bit 0,e
        jr z,pt3_frame_level_even
        rrca
        rrca
        rrca
        rrca
pt3_frame_level_even:
        and 0x0F
        bit 0,c
        jp nz,pt3_frame_amplitude_set
        or (ix+CH_ENVELOPE_ON)
pt3_frame_amplitude_set:
        ld (ix+CH_AMPLITUDE),a
        ld a,c                  ; (bit 7 from the carry: R6 and the envelope offset keep 5 bits)
        rra
        bit 7,b
        jr z,pt3_frame_noise
        and 0x1F                ; envelope offset, signed 5 bits
        xor 0x10
        sub 0x10
        add a,(ix+CH_ENV_ACC)
        bit 5,b
        jp z,pt3_frame_env_sum
        ld (ix+CH_ENV_ACC),a
pt3_frame_env_sum:
        ld hl,pt3_env_sum
        add a,(hl)
        ld (hl),a
pt3_frame_mixer_bits:
        ld a,b                  ; b1 bit 4 (tone off) -> bit 2, bit 7 (noise off) -> bit 5
        rrca
        rrca
        and 0x24
pt3_frame_mixer:
        ld hl,pt3_mixer         ; each channel shifts the earlier ones down one bit
        srl (hl)
        or (hl)
        ld (hl),a
        ld a,(ix+CH_ONOFF_COUNT)
        or a
        ret z
        dec (ix+CH_ONOFF_COUNT)
        ret nz
        ld a,(ix+CH_ENABLED)
        xor 1
        ld (ix+CH_ENABLED),a
        ld a,(ix+CH_ON_TIME)
        jr nz,pt3_frame_on_off_set
        ld a,(ix+CH_OFF_TIME)
pt3_frame_on_off_set:
        ld (ix+CH_ONOFF_COUNT),a
        ret

pt3_frame_noise:                ; (out of the way: most sample lines turn noise off and carry an envelope offset)
        add a,(ix+CH_NOISE_ACC)
        ld (pt3_noise_value),a
        bit 5,b
        jr z,pt3_frame_mixer_bits
        ld (ix+CH_NOISE_ACC),a
        jr pt3_frame_mixer_bits

        if !defined pt3_tables_elsewhere
pt3_init:
        call pt3_init_start
        call pt3_tables
        jp pt3_init_channels

        pt3_tables_part
pt3_tables_at   equ pt3_tables_code
pt3_tables      equ pt3_tables_at
        endif
pt3_tables_shift equ pt3_tables_at - pt3_tables_code
