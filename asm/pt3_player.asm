; PT3 (ProTracker 3 / Vortex Tracker II) music player for the AY-3-8912.
;
; Include this file from the player source. It needs one symbol from the includer:
;   pt3_work  the address of PT3_WORK_SIZE bytes of free RAM for the player's state. The
;             area is cleared and filled by pt3_init, so it need not be part of the binary.
;
; Entry points (all of them change AF, BC, DE, HL and IX; none uses IY or the alternate set):
;   pt3_init  HL = address of the module in memory. Reads the header, builds the tone table,
;             sets up the channels and silences the AY.
;   pt3_play  plays one 50 Hz frame: works out R0..R12 and writes them to the AY on the 128's
;             ports (select 0xFFFD, data 0xBFFD); writes R13 only on the frames where a pattern
;             row sets an envelope, even when the shape is the same as before, because each R13
;             write restarts the envelope.
;   pt3_mute  sets the three channel volumes to 0.
;
; All module offsets are taken from the module's own header, so the module may lie anywhere.

; ---------------------------------------------------------------------------------------------
; Channel state: three blocks of PT3_CH bytes, reached through IX.
CH_STREAM       equ 0   ; word: address of the channel's next pattern byte
CH_SKIP         equ 2   ; rows per step (0 acts as 256)
CH_SKIP_COUNT   equ 3   ; row ticks until the next row
CH_SAMPLE       equ 4   ; word: address of the current sample (its loop byte)
CH_ORNAMENT     equ 6   ; word: address of the current ornament (its loop byte)
CH_VOLUME       equ 8   ; 1..15
CH_NOTE         equ 9   ; 0..95
CH_ENABLED      equ 10  ; 1 while the channel sounds
CH_ENVELOPE_ON  equ 11  ; 1 while the channel uses the envelope
CH_PERIOD       equ 12  ; word: the tone period written to the AY (12 bits)
CH_TONE_ACC     equ 14  ; word: accumulated sample tone offset (first of the bytes a note clears)
CH_AMP_SLIDE    equ 16  ; signed, -15..15
CH_NOISE_ACC    equ 17
CH_ENV_ACC      equ 18
CH_SLIDE        equ 19  ; word: tone slide value, added to the period
CH_SLIDE_COUNT  equ 21  ; 0 = no slide running
CH_ONOFF_COUNT  equ 22  ; 0 = on/off effect not running
CH_SAMPLE_POS   equ 23
CH_ORNAMENT_POS equ 24  ; last of the bytes a note clears
CH_SLIDE_STEP   equ 25  ; word
CH_SLIDE_DELAY  equ 27
CH_PORTAMENTO   equ 28  ; 1 = the slide is a portamento, 0 = glissando
CH_TARGET_NOTE  equ 29
CH_DISTANCE     equ 30  ; word: period difference a portamento covers
CH_ON_TIME      equ 32
CH_OFF_TIME     equ 33
CH_AMPLITUDE    equ 34  ; this frame's R8/R9/R10 value
PT3_CH          equ 35

; Shared state, at fixed places inside pt3_work.
pt3_base          equ pt3_work + 0    ; word: address of the module
pt3_version       equ pt3_work + 2    ; the module's version digit (0..9, 6 when not a digit)
pt3_speed         equ pt3_work + 3
pt3_speed_count   equ pt3_work + 4
pt3_position      equ pt3_work + 5
pt3_noise_base    equ pt3_work + 6
pt3_noise_value   equ pt3_work + 7
pt3_env_base      equ pt3_work + 8    ; word
pt3_env_slide     equ pt3_work + 10   ; word
pt3_env_step      equ pt3_work + 12   ; word
pt3_env_delay     equ pt3_work + 14
pt3_env_count     equ pt3_work + 15
pt3_mixer         equ pt3_work + 16
pt3_env_sum       equ pt3_work + 17
pt3_volume_table  equ pt3_work + 18   ; word: the level masks in use
pt3_sample_bytes  equ pt3_work + 20   ; word: b0, b1 of the sample position being played
pt3_prev_note     equ pt3_work + 22
pt3_prev_slide    equ pt3_work + 23   ; word
pt3_effect_seq    equ pt3_work + 25   ; counts the effect bytes of the row being read
pt3_effects_met   equ pt3_work + 25   ; bytes 1..9: that count when effect 1..9 was last met
pt3_registers     equ pt3_work + 35   ; R0..R13 of this frame; R13 = 0xFF when not written
pt3_channel_a     equ pt3_work + 49
pt3_channel_b     equ pt3_channel_a + PT3_CH
pt3_channel_c     equ pt3_channel_b + PT3_CH
pt3_tone_table    equ pt3_channel_c + PT3_CH   ; 96 words: the module's note periods
PT3_WORK_SIZE     equ pt3_tone_table + 192 - pt3_work

AY_SELECT_HIGH  equ 0xFF    ; port 0xFFFD selects a register
AY_DATA_HIGH    equ 0xBF    ; port 0xBFFD writes it

; ---------------------------------------------------------------------------------------------
pt3_init:
        push hl
        ld hl,pt3_work
        ld de,pt3_work + 1
        ld bc,PT3_WORK_SIZE - 1
        ld (hl),0
        ldir
        pop hl
        ld (pt3_base),hl
        ld a,13                 ; version digit
        call pt3_header_byte
        sub '0'
        cp 10
        jr c,pt3_init_version
        ld a,6
pt3_init_version:
        ld (pt3_version),a
        call pt3_build_tone_table
        ld hl,pt3_volume_old
        ld a,(pt3_version)
        cp 5
        jr c,pt3_init_volume
        ld hl,pt3_volume_new
pt3_init_volume:
        ld (pt3_volume_table),hl
        ld a,100
        call pt3_header_byte
        ld (pt3_speed),a
        ld a,1
        ld (pt3_speed_count),a
        ld ix,pt3_channel_a
        ld b,3
pt3_init_channel:
        push bc
        ld (ix+CH_VOLUME),15
        ld (ix+CH_SKIP_COUNT),1
        xor a
        call pt3_select_ornament
        ld a,1
        call pt3_select_sample
        ld de,PT3_CH
        add ix,de
        pop bc
        djnz pt3_init_channel
        ld a,98                 ; a byte other than a space here shifts the first pattern
        call pt3_header_byte
        ld c,a
        ld a,201
        call pt3_header_byte
        ld b,a
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
        call pt3_point_streams
        ; fall through: start silent

pt3_mute:
        ld a,8
pt3_mute_next:
        ld bc,AY_SELECT_HIGH * 256 + 0xFD
        out (c),a
        ld b,AY_DATA_HIGH
        ld e,0
        out (c),e
        inc a
        cp 11
        jr nz,pt3_mute_next
        ret

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

; HL := module address + the word at HL.
pt3_word_address:
        ld a,(hl)
        inc hl
        ld h,(hl)
        ld l,a
pt3_module_address:
        push de
        ld de,(pt3_base)
        add hl,de
        pop de
        ret

; Points the three streams at pattern A (a position-list value: pattern number * 3).
pt3_point_streams:
        push af
        ld a,103
        call pt3_header_byte
        call pt3_word_address   ; HL = the pattern table
        pop af
        ld e,a
        ld d,0
        add hl,de
        add hl,de               ; + 2 * P: the pattern's three stream offsets
        ld de,pt3_channel_a + CH_STREAM
        ld b,3
pt3_point_next:
        push hl
        call pt3_word_address
        ex de,hl
        ld (hl),e
        inc hl
        ld (hl),d
        ld de,PT3_CH - 1
        add hl,de
        ex de,hl
        pop hl
        inc hl
        inc hl
        djnz pt3_point_next
        ret

; Channel IX takes sample A (its word at header offset 105 + 2A).
pt3_select_sample:
        ld l,a
        ld h,0
        add hl,hl
        ld de,105
        add hl,de
        call pt3_module_address
        call pt3_word_address
        ld (ix+CH_SAMPLE),l
        ld (ix+CH_SAMPLE+1),h
        ret

; Channel IX takes ornament A (its word at header offset 169 + 2A) from its first position.
pt3_select_ornament:
        add a,a
        add a,169
        call pt3_header_byte
        call pt3_word_address
        ld (ix+CH_ORNAMENT),l
        ld (ix+CH_ORNAMENT+1),h
        ld (ix+CH_ORNAMENT_POS),0
        ret

; HL := the period of note A in the module's tone table. Changes DE.
pt3_note_period:
        ld hl,pt3_tone_table
        add a,a
        ld e,a
        ld d,0
        add hl,de
        ld a,(hl)
        inc hl
        ld h,(hl)
        ld l,a
        ret

; Builds the module's tone table. Each packed table is a list of corrections (note, period)
; ended by 0xFF, then the 12 periods of the lowest octave, then one bit per higher note: its
; period is half the period an octave below, plus that bit. The corrections are applied last.
pt3_build_tone_table:
        ld a,99
        call pt3_header_byte
        cp 4
        jr c,pt3_tone_number
        ld a,3
pt3_tone_number:
        add a,a
        ld c,a
        ld a,(pt3_version)
        cp 4
        ccf
        ld a,c
        adc a,0                 ; 2 * table + (version >= 4)
        add a,a
        ld e,a
        ld d,0
        ld hl,pt3_tone_tables
        add hl,de
        ld a,(hl)
        inc hl
        ld h,(hl)
        ld l,a
        push hl
pt3_tone_skip:
        ld a,(hl)
        inc hl
        inc a
        jr z,pt3_tone_octave
        inc hl
        inc hl
        jr pt3_tone_skip
pt3_tone_octave:
        ld de,pt3_tone_table
        ld bc,24
        ldir
        ld ix,pt3_tone_table + 24
        ld b,84
pt3_tone_next:
        ld a,b
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
        jr nc,pt3_tone_store
        inc de
pt3_tone_store:
        ld (ix+0),e
        ld (ix+1),d
        inc ix
        inc ix
        djnz pt3_tone_next
        pop hl
pt3_tone_patch:
        ld a,(hl)
        inc hl
        cp 0xFF
        ret z
        add a,a
        ld e,a
        ld d,0
        ld ix,pt3_tone_table
        add ix,de
        ld a,(hl)
        ld (ix+0),a
        inc hl
        ld a,(hl)
        ld (ix+1),a
        inc hl
        jr pt3_tone_patch

; ---------------------------------------------------------------------------------------------
pt3_play:
        ld a,0xFF
        ld (pt3_registers + 13),a
        ld hl,pt3_speed_count
        dec (hl)
        jr nz,pt3_play_channels
        ld ix,pt3_channel_a
        dec (ix+CH_SKIP_COUNT)
        jr nz,pt3_play_tick_b
        ld l,(ix+CH_STREAM)
        ld h,(ix+CH_STREAM+1)
        ld a,(hl)
        or a
        call z,pt3_next_position
        call pt3_read_row
pt3_play_tick_b:
        ld ix,pt3_channel_b
        call pt3_tick_channel
        ld ix,pt3_channel_c
        call pt3_tick_channel
        ld a,(pt3_speed)
        ld (pt3_speed_count),a
pt3_play_channels:
        xor a
        ld (pt3_mixer),a
        ld (pt3_env_sum),a
        ld ix,pt3_channel_a
        ld b,3
pt3_play_next_channel:
        push bc
        call pt3_channel_frame
        ld de,PT3_CH
        add ix,de
        pop bc
        djnz pt3_play_next_channel
        ld hl,(pt3_channel_a + CH_PERIOD)
        ld (pt3_registers + 0),hl
        ld hl,(pt3_channel_b + CH_PERIOD)
        ld (pt3_registers + 2),hl
        ld hl,(pt3_channel_c + CH_PERIOD)
        ld (pt3_registers + 4),hl
        ld a,(pt3_noise_base)
        ld hl,pt3_noise_value
        add a,(hl)
        and 31
        ld (pt3_registers + 6),a
        ld a,(pt3_mixer)
        ld (pt3_registers + 7),a
        ld a,(pt3_channel_a + CH_AMPLITUDE)
        ld (pt3_registers + 8),a
        ld a,(pt3_channel_b + CH_AMPLITUDE)
        ld (pt3_registers + 9),a
        ld a,(pt3_channel_c + CH_AMPLITUDE)
        ld (pt3_registers + 10),a
        ld a,(pt3_env_sum)      ; envelope period: base + signed offset sum + slide
        ld e,a
        add a,a
        sbc a,a
        ld d,a
        ld hl,(pt3_env_base)
        add hl,de
        ld de,(pt3_env_slide)
        add hl,de
        ld (pt3_registers + 11),hl
        ld hl,pt3_registers
        xor a
pt3_play_write:
        call pt3_write_register
        cp 13
        jr c,pt3_play_write
        ld a,(hl)
        inc a
        jr z,pt3_play_env_slide
        ld a,13
        call pt3_write_register
pt3_play_env_slide:
        ld hl,pt3_env_count
        ld a,(hl)
        dec a
        cp 127                  ; counts down only from 1..127
        ret nc
        ld (hl),a
        or a
        ret nz
        ld a,(pt3_env_delay)
        ld (hl),a
        ld hl,(pt3_env_slide)
        ld de,(pt3_env_step)
        add hl,de
        ld (pt3_env_slide),hl
        ret

; Writes (HL) to AY register A; HL and A move on to the next register.
pt3_write_register:
        ld bc,AY_SELECT_HIGH * 256 + 0xFD
        out (c),a
        ld b,AY_DATA_HIGH + 1   ; OUTI lowers B before it writes
        outi
        inc a
        ret

pt3_tick_channel:
        dec (ix+CH_SKIP_COUNT)
        ret nz
        ; fall through

; Reads one pattern row of channel IX.
pt3_read_row:
        ld a,(ix+CH_NOTE)
        ld (pt3_prev_note),a
        ld l,(ix+CH_SLIDE)
        ld h,(ix+CH_SLIDE+1)
        ld (pt3_prev_slide),hl
        ld hl,pt3_effects_met
        ld b,10
pt3_row_clear:
        ld (hl),0
        inc hl
        djnz pt3_row_clear
        ld l,(ix+CH_STREAM)
        ld h,(ix+CH_STREAM+1)
pt3_row_byte:
        ld a,(hl)
        inc hl
        cp 0x50
        jr c,pt3_row_low
        cp 0xB0
        jp c,pt3_row_note
        jp z,pt3_row_b0
        cp 0xB2
        jp c,pt3_row_skip
        cp 0xC0
        jr c,pt3_row_envelope_b
        jp z,pt3_row_sound_off
        cp 0xD0
        jp c,pt3_row_volume
        jp z,pt3_row_end
        cp 0xF0
        jp c,pt3_row_sample
        sub 0xF0                ; F0..FF: ornament, sample, envelope off
        call pt3_row_ornament_a
        ld (ix+CH_ENVELOPE_ON),0
        jr pt3_row_sample_byte

pt3_row_low:
        cp 0x40
        jr nc,pt3_row_ornament
        cp 0x20
        jr nc,pt3_row_noise
        cp 0x11
        jr nc,pt3_row_envelope
        cp 0x10
        jr z,pt3_row_env_off_sample
        cp 0x0A                 ; 00..09: effects to read after the row end
        jr nc,pt3_row_byte
        or a
        jr z,pt3_row_byte
        cp 6
        jr z,pt3_row_byte
        cp 7
        jr z,pt3_row_byte
        push hl
        ld hl,pt3_effect_seq
        inc (hl)
        ld c,(hl)
        ld e,a
        ld d,0
        add hl,de
        ld (hl),c
        pop hl
        jr pt3_row_byte

pt3_row_noise:
        sub 0x20
        ld (pt3_noise_base),a
        jr pt3_row_byte

pt3_row_ornament:
        sub 0x40
        call pt3_row_ornament_a
        jr pt3_row_byte

pt3_row_envelope:
        sub 0x10
        call pt3_row_envelope_start
        jr pt3_row_ornament_sample
pt3_row_env_off_sample:
        ld (ix+CH_ENVELOPE_ON),0
pt3_row_ornament_sample:
        ld (ix+CH_ORNAMENT_POS),0
pt3_row_sample_byte:
        ld a,(hl)               ; the sample number is stored doubled
        inc hl
        srl a
        jr pt3_row_select_sample

pt3_row_envelope_b:
        sub 0xB1
        call pt3_row_envelope_start
        ld (ix+CH_ORNAMENT_POS),0
        jp pt3_row_byte

pt3_row_b0:
        ld (ix+CH_ENVELOPE_ON),0
        ld (ix+CH_ORNAMENT_POS),0
        jp pt3_row_byte

pt3_row_skip:
        ld a,(hl)
        inc hl
        ld (ix+CH_SKIP),a
        jp pt3_row_byte

pt3_row_volume:
        sub 0xC0
        ld (ix+CH_VOLUME),a
        jp pt3_row_byte

pt3_row_sample:
        sub 0xD0
pt3_row_select_sample:
        push hl
        call pt3_select_sample
        pop hl
        jp pt3_row_byte

pt3_row_note:
        sub 0x50
        ld (ix+CH_NOTE),a
        call pt3_note_reset
        ld (ix+CH_ENABLED),1
        jr pt3_row_end

pt3_row_sound_off:
        call pt3_note_reset
        ld (ix+CH_ENABLED),0
        ; fall through

; The row has ended: read the parameters of the effects met, the last-met effect first.
pt3_row_end:
        push hl
        ld hl,pt3_effects_met + 9
        ld bc,9 * 256 + 0       ; B = effect code, C = latest order seen
pt3_row_find:
        ld a,(hl)
        cp c
        jr z,pt3_row_find_on
        jr c,pt3_row_find_on
        ld c,a
        ld e,b
pt3_row_find_on:
        dec hl
        djnz pt3_row_find
        pop hl
        ld a,c
        or a
        jr z,pt3_row_done
        push hl
        ld hl,pt3_effects_met
        ld d,0
        add hl,de
        ld (hl),0
        pop hl
        ld a,e
        call pt3_effect
        jr pt3_row_end
pt3_row_done:
        ld (ix+CH_STREAM),l
        ld (ix+CH_STREAM+1),h
        ld a,(ix+CH_SKIP)
        ld (ix+CH_SKIP_COUNT),a
        ret

; Commands 11..1F and B2..BF: shape A goes to R13 now, the base period follows high byte
; first, the channel's envelope goes on and a running envelope slide stops.
pt3_row_envelope_start:
        ld (pt3_registers + 13),a
        ld d,(hl)
        inc hl
        ld e,(hl)
        inc hl
        ld (pt3_env_base),de
        ld (ix+CH_ENVELOPE_ON),1
        xor a
        ld (pt3_env_count),a
        ld d,a
        ld e,a
        ld (pt3_env_slide),de
        ret

pt3_row_ornament_a:
        push hl
        call pt3_select_ornament
        pop hl
        ret

; A note or sound off starts the sample, ornament, slides and accumulators afresh.
pt3_note_reset:
        push hl
        push ix
        pop hl
        ld de,CH_TONE_ACC
        add hl,de
        ld b,CH_ORNAMENT_POS + 1 - CH_TONE_ACC
pt3_note_reset_next:
        ld (hl),0
        inc hl
        djnz pt3_note_reset_next
        pop hl
        ret

; Channel A is due to read a row but its pattern has ended: go on to the next position.
pt3_next_position:
        ld a,(pt3_position)
        inc a
        ld c,a
        ld a,101                ; number of positions
        call pt3_header_byte
        cp c
        ld a,c
        jr nz,pt3_next_position_set
        inc hl                  ; past the end: the loop position
        ld a,(hl)
pt3_next_position_set:
        ld (pt3_position),a
        ld hl,(pt3_base)
        ld de,201
        add hl,de
        ld e,a
        add hl,de
        xor a
        ld (pt3_noise_base),a
        ld a,(hl)
        jp pt3_point_streams

; Reads the parameters of effect A of channel IX from HL and applies them.
pt3_effect:
        dec a
        jr z,pt3_effect_glissando
        dec a
        jr z,pt3_effect_portamento
        dec a
        jr z,pt3_effect_sample_position
        dec a
        jr z,pt3_effect_ornament_position
        dec a
        jr z,pt3_effect_on_off
        sub 3
        jr z,pt3_effect_envelope_slide
        ld a,(hl)               ; effect 9: speed
        inc hl
        ld (pt3_speed),a
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

pt3_effect_on_off:
        ld a,(hl)
        inc hl
        ld (ix+CH_ON_TIME),a
        ld (ix+CH_ONOFF_COUNT),a
        ld a,(hl)
        inc hl
        ld (ix+CH_OFF_TIME),a
        xor a
        ld (ix+CH_SLIDE_COUNT),a
        ld (ix+CH_SLIDE),a
        ld (ix+CH_SLIDE+1),a
        ret

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

pt3_effect_glissando:
        call pt3_slide_start
        ld (ix+CH_PORTAMENTO),0
        ld c,a
        ld a,(hl)
        ld (ix+CH_SLIDE_STEP),a
        inc hl
        ld a,(hl)
        ld (ix+CH_SLIDE_STEP+1),a
        inc hl
        ld a,c                  ; from version 7 on, delay 0 still makes one step
        or a
        ret nz
        ld a,(pt3_version)
        cp 7
        ret c
        ld (ix+CH_SLIDE_COUNT),1
        ret

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
        ld (ix+CH_PORTAMENTO),1
        inc hl
        inc hl
        ld e,(hl)
        inc hl
        ld d,(hl)
        inc hl
        push hl
        bit 7,d                 ; only the size of the step counts
        call nz,pt3_negate_de
        ld (ix+CH_SLIDE_STEP),e
        ld (ix+CH_SLIDE_STEP+1),d
        ld a,(ix+CH_NOTE)
        call pt3_note_period
        push hl
        ld a,(pt3_prev_note)
        call pt3_note_period
        ex de,hl
        pop hl
        or a
        sbc hl,de
        ld (ix+CH_DISTANCE),l
        ld (ix+CH_DISTANCE+1),h
        ld a,(ix+CH_NOTE)
        ld (ix+CH_TARGET_NOTE),a
        ld a,(pt3_prev_note)
        ld (ix+CH_NOTE),a
        ld a,(pt3_version)
        cp 6
        jr c,pt3_portamento_direction
        ld de,(pt3_prev_slide)  ; from version 6 on the slide goes on from where it was
        ld (ix+CH_SLIDE),e
        ld (ix+CH_SLIDE+1),d
pt3_portamento_direction:
        ld e,(ix+CH_SLIDE)
        ld d,(ix+CH_SLIDE+1)
        call pt3_signed_less
        jr nc,pt3_portamento_done
        ld e,(ix+CH_SLIDE_STEP)
        ld d,(ix+CH_SLIDE_STEP+1)
        call pt3_negate_de
        ld (ix+CH_SLIDE_STEP),e
        ld (ix+CH_SLIDE_STEP+1),d
pt3_portamento_done:
        pop hl
        ret

pt3_negate_de:
        xor a
        sub e
        ld e,a
        sbc a,a
        sub d
        ld d,a
        ret

; Carry set when HL < DE as signed words. Changes HL, DE and A.
pt3_signed_less:
        ld a,h
        xor 0x80
        ld h,a
        ld a,d
        xor 0x80
        ld d,a
        or a
        sbc hl,de
        ret

; One frame of channel IX: its period, amplitude, noise or envelope offset and mixer bits.
pt3_channel_frame:
        ld a,(ix+CH_ENABLED)
        or a
        ld c,a                  ; a silent channel leaves tone and noise on in the mixer
        jr nz,pt3_frame_sample
        ld (ix+CH_AMPLITUDE),a
        jp pt3_frame_mixer
pt3_frame_sample:
        ld l,(ix+CH_SAMPLE)
        ld h,(ix+CH_SAMPLE+1)
        ld e,(ix+CH_SAMPLE_POS)
        ld d,0
        ex de,hl
        add hl,hl
        add hl,hl
        add hl,de
        inc hl
        inc hl
        ld c,(hl)               ; C = b0, B = b1, DE = tone offset
        inc hl
        ld b,(hl)
        inc hl
        ld (pt3_sample_bytes),bc
        ld e,(hl)
        inc hl
        ld d,(hl)
        ld l,(ix+CH_TONE_ACC)
        ld h,(ix+CH_TONE_ACC+1)
        add hl,de
        bit 6,b
        jr z,pt3_frame_note
        ld (ix+CH_TONE_ACC),l
        ld (ix+CH_TONE_ACC+1),h
pt3_frame_note:
        push hl
        ld l,(ix+CH_ORNAMENT)
        ld h,(ix+CH_ORNAMENT+1)
        ld e,(ix+CH_ORNAMENT_POS)
        ld d,0
        add hl,de
        inc hl
        inc hl
        ld a,(ix+CH_NOTE)
        add a,(hl)
        jp p,pt3_frame_note_high
        xor a                   ; past 127: the lowest note
pt3_frame_note_high:
        cp 96
        jr c,pt3_frame_period
        ld a,95
pt3_frame_period:
        call pt3_note_period
        pop de
        add hl,de
        ld e,(ix+CH_SLIDE)
        ld d,(ix+CH_SLIDE+1)
        add hl,de
        ld (ix+CH_PERIOD),l
        ld a,h
        and 0x0F
        ld (ix+CH_PERIOD+1),a
        ld a,(ix+CH_SLIDE_COUNT)    ; the tone slide moves after this frame's period
        or a
        jr z,pt3_frame_amplitude
        dec (ix+CH_SLIDE_COUNT)
        jr nz,pt3_frame_amplitude
        ld l,(ix+CH_SLIDE)
        ld h,(ix+CH_SLIDE+1)
        ld e,(ix+CH_SLIDE_STEP)
        ld d,(ix+CH_SLIDE_STEP+1)
        add hl,de
        ld (ix+CH_SLIDE),l
        ld (ix+CH_SLIDE+1),h
        ld a,(ix+CH_SLIDE_DELAY)
        ld (ix+CH_SLIDE_COUNT),a
        ld a,(ix+CH_PORTAMENTO)
        or a
        jr z,pt3_frame_amplitude
        ld e,(ix+CH_DISTANCE)
        ld d,(ix+CH_DISTANCE+1)
        bit 7,(ix+CH_SLIDE_STEP+1)
        jr z,pt3_frame_target
        ex de,hl
pt3_frame_target:
        call pt3_signed_less        ; not yet at the target?
        jr c,pt3_frame_amplitude
        ld a,(ix+CH_TARGET_NOTE)
        ld (ix+CH_NOTE),a
        xor a
        ld (ix+CH_SLIDE_COUNT),a
        ld (ix+CH_SLIDE),a
        ld (ix+CH_SLIDE+1),a
pt3_frame_amplitude:
        ld bc,(pt3_sample_bytes)
        bit 7,c
        jr z,pt3_frame_level
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
        jp p,pt3_frame_level_low
        xor a
pt3_frame_level_low:
        cp 16
        jr c,pt3_frame_volume
        ld a,15
pt3_frame_volume:
        ld e,a                  ; level = bits 0..e-1 of the volume's mask, counted
        ld a,(ix+CH_VOLUME)
        add a,a
        ld hl,(pt3_volume_table)
        add a,l
        ld l,a
        adc a,h
        sub l
        ld h,a
        ld a,(hl)
        inc hl
        ld h,(hl)
        ld l,a
        ld b,e
        inc b
        xor a
        jr pt3_frame_count_next
pt3_frame_count:
        srl h
        rr l
        adc a,0
pt3_frame_count_next:
        djnz pt3_frame_count
        ld bc,(pt3_sample_bytes)
        bit 0,c
        jr nz,pt3_frame_amplitude_set
        ld e,(ix+CH_ENVELOPE_ON)
        dec e
        jr nz,pt3_frame_amplitude_set
        or 0x10
pt3_frame_amplitude_set:
        ld (ix+CH_AMPLITUDE),a
        ld a,c
        srl a
        bit 7,b
        jr z,pt3_frame_noise
        and 0x1F                ; envelope offset, signed 5 bits
        xor 0x10
        sub 0x10
        add a,(ix+CH_ENV_ACC)
        bit 5,b
        jr z,pt3_frame_env_sum
        ld (ix+CH_ENV_ACC),a
pt3_frame_env_sum:
        ld hl,pt3_env_sum
        add a,(hl)
        ld (hl),a
        jr pt3_frame_mixer_bits
pt3_frame_noise:
        add a,(ix+CH_NOISE_ACC)
        ld (pt3_noise_value),a
        bit 5,b
        jr z,pt3_frame_mixer_bits
        ld (ix+CH_NOISE_ACC),a
pt3_frame_mixer_bits:
        ld a,b                  ; b1 bit 4 (tone off) -> bit 2, bit 7 (noise off) -> bit 5
        rrca
        rrca
        and 0x24
        ld c,a
        ld l,(ix+CH_SAMPLE)
        ld h,(ix+CH_SAMPLE+1)
        ld a,(ix+CH_SAMPLE_POS)
        call pt3_advance
        ld (ix+CH_SAMPLE_POS),a
        ld l,(ix+CH_ORNAMENT)
        ld h,(ix+CH_ORNAMENT+1)
        ld a,(ix+CH_ORNAMENT_POS)
        call pt3_advance
        ld (ix+CH_ORNAMENT_POS),a
pt3_frame_mixer:
        ld hl,pt3_mixer         ; each channel shifts the earlier ones down one bit
        srl (hl)
        ld a,c
        or (hl)
        ld (hl),a
        ld a,(ix+CH_ONOFF_COUNT)
        or a
        ret z
        dec a
        ld (ix+CH_ONOFF_COUNT),a
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

; A := position A + 1 of the sample or ornament at HL, back to its loop past the end.
pt3_advance:
        inc a
        inc hl
        cp (hl)
        ret c
        dec hl
        ld a,(hl)
        ret

; ---------------------------------------------------------------------------------------------
; Tone tables, packed as described at pt3_build_tone_table; the word index is
; 2 * table number + 1 for module versions 4 and later.
pt3_tone_tables:
        dw pt3_tone_pt_old, pt3_tone_pt_new, pt3_tone_st, pt3_tone_st
        dw pt3_tone_asm_old, pt3_tone_asm_new, pt3_tone_real_old, pt3_tone_real_new
; The REAL table of versions 3 and earlier differs from the later one in one note, so it is
; that single correction in front of the later table.
pt3_tone_pt_old:
        db 0xFF
        dw 0x0C21, 0x0B73, 0x0ACE, 0x0A33, 0x09A0, 0x0916
        dw 0x0893, 0x0818, 0x07A4, 0x0736, 0x06CE, 0x066D
        db 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00
pt3_tone_pt_new:
        db 95
        dw 0x000C
        db 0xFF
        dw 0x0C22, 0x0B73, 0x0ACF, 0x0A33, 0x09A1, 0x0917
        dw 0x0894, 0x0819, 0x07A4, 0x0737, 0x06CF, 0x066D
        db 0x0A, 0x48, 0x62, 0x00, 0x09, 0x08, 0x6A, 0x12, 0x91, 0x04, 0x00
pt3_tone_st:
        db 23
        dw 0x03FD
        db 46
        dw 0x010A
        db 0xFF
        dw 0x0EF8, 0x0E10, 0x0D60, 0x0C80, 0x0BD8, 0x0B28
        dw 0x0A88, 0x09F0, 0x0960, 0x08E0, 0x0858, 0x07E0
        db 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00
pt3_tone_asm_old:
        db 86
        dw 0x0019
        db 87
        dw 0x0018
        db 0xFF
        dw 0x0D3E, 0x0C80, 0x0BCC, 0x0B22, 0x0A82, 0x09EC
        dw 0x095C, 0x08D6, 0x0858, 0x07E0, 0x076E, 0x0704
        db 0x00, 0x00, 0x49, 0x41, 0x40, 0x02, 0xA0, 0x85, 0xBC, 0x03, 0x00
pt3_tone_asm_new:
        db 95
        dw 0x000D
        db 0xFF
        dw 0x0D10, 0x0C55, 0x0BA4, 0x0AFC, 0x0A5F, 0x09CA
        dw 0x093D, 0x08B8, 0x083B, 0x07C5, 0x0755, 0x06EC
        db 0x00, 0x04, 0x11, 0x4A, 0x06, 0x9A, 0x03, 0x44, 0x80, 0x32, 0x00
pt3_tone_real_old:
        db 43
        dw 0x0113
pt3_tone_real_new:
        db 0xFF
        dw 0x0CDA, 0x0C22, 0x0B73, 0x0ACF, 0x0A33, 0x09A1
        dw 0x0917, 0x0894, 0x0819, 0x07A4, 0x0737, 0x06CF
        db 0x14, 0x90, 0xC4, 0x00, 0x12, 0x10, 0xD4, 0x24, 0x22, 0x09, 0x00
; Volume tables: for each channel volume 0..15 a mask whose bit n - 1 is set where the level
; for sample amplitude n is one more than for n - 1 (levels start at 0 for amplitude 0).
; The first table is for versions 3 and 4, the second for version 5 on.
pt3_volume_old:
        dw 0x0000, 0x0080, 0x0420, 0x0888, 0x1248, 0x24A4, 0x2A54, 0x2AAA
        dw 0x55AA, 0x5ADA, 0x6DB6, 0x6EEE, 0x7BDE, 0x7EFE, 0x7FFE, 0x7FFF
pt3_volume_new:
        dw 0x0000, 0x0080, 0x0808, 0x1084, 0x2222, 0x2492, 0x294A, 0x2AAA
        dw 0x5555, 0x56B5, 0x5B6D, 0x5DDD, 0x6F7B, 0x77F7, 0x7F7F, 0x7FFF
