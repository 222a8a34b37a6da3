; Sound effects over the PT3 music: one AYFX effect at a time on one AY channel, mixed into the
; registers of each pt3_play frame before they go to the AY.
;
; Include this file with pt3_player.asm, and define before pt3_player.asm is included
;   pt3_with_ayfx  (any value) so that pt3_play calls ayfx_frame;
; and anywhere
;   ayfx_bank      the address of an AYFX bank (.afb) as the editor saves it, names or not.
; The number of effects is read from the bank's table, (first offset + 1) / 2, not from its
; count byte, which the editor writes modulo 256.
;
; Entry points for the game (both change AF, BC, DE and HL; call them from the main program, not
; from an interrupt handler that may run while pt3_play does):
;   ayfx_start  A = effect number (0 = the bank's first), B = channel (0 = A, 1 = B, 2 = C; any
;               other value means C). The effect plays from the next pt3_play call on and
;               replaces the one playing, whatever that was: one effect at a time, the last one
;               started wins, so a game always hears its latest event. A number past the bank's
;               last effect changes nothing.
;   ayfx_stop   stops the effect: from the next pt3_play call the channel is the music's again.
;
; In each frame of the effect, its channel's volume and its two mixer bits are the effect's; so
; is the channel's tone period while the frame's tone is on, and R6 while its noise is on. The
; other channels, R11 to R13 and the music's own state are left alone: the tone period goes to
; the AY through the channel's CH_PERIOD, so the music's period is kept and put back at the next
; frame unless the music has worked out a new one by then. To tell the two apart, the effect's
; period carries bit 7 in its high byte, a bit the AY does not keep (R1, R3 and R5 have four).
; Tone and noise periods carry over between frames, from 0 at the start of each effect; the end
; marker (a noise byte of 0x20 or more) hands the channel back in the frame it is met.

        if !defined pt3_with_ayfx
        .error pt3_with_ayfx must be defined before the PT3 player is included, or no frame plays an effect
        endif

; enter: A = effect number, B = channel. uses: AF, BC, DE, HL
ayfx_start:
        ld hl,(ayfx_bank + 1)   ; effect 0 starts right after the table of offsets
        inc hl
        srl h
        rr l
        inc h
        dec h
        jr nz,ayfx_start_known  ; 256 effects or more: any number is one
        cp l
        ret nc
ayfx_start_known:
        ld l,a                  ; the effect's offset counts from its entry's second byte
        ld h,0
        add hl,hl
        ld de,ayfx_bank + 1
        add hl,de
        ld e,(hl)
        inc hl
        ld d,(hl)
        add hl,de
        push hl
        call ayfx_stop          ; what plays ends first: a frame in between mixes nothing
        ld hl,0x8000
        ld (ayfx_tone),hl       ; tone 0, marked
        xor a
        ld (ayfx_noise),a
        ld a,b
        cp 2
        jr c,ayfx_start_channel
        ld a,2
ayfx_start_channel:
        ld c,a
        ld b,0
        ld hl,ayfx_frame_turn_a
        add hl,bc
        ld (ayfx_turn_at),hl
        ld hl,pt3_channel_a + CH_PERIOD + 1
        ld de,PT3_CH
        ld b,0x09               ; channel A's tone and noise bits in R7
        or a
        jr z,ayfx_start_set
ayfx_start_next:
        add hl,de
        sla b
        dec a
        jr nz,ayfx_start_next
ayfx_start_set:
        ld (ayfx_period_at),hl
        ld a,b
        ld (ayfx_mask),a
        pop hl
        ld (ayfx_next),hl
        ld a,1
        ld (ayfx_busy),a
        ret

; A stopped effect goes on at an end marker, so that the next frame puts back the channel's
; period, when the effect last changed it, as the end of an effect does.
; uses: HL
ayfx_stop:
        ld hl,ayfx_stopped
        ld (ayfx_next),hl
        ret
ayfx_stopped:
        db 0xD0, 0x20

; One frame of the effect, from pt3_play while ayfx_busy is set.
; enter: L = R6, H = R7 as the music sets them. exit: L, H with the effect's part. uses: AF, BC, DE
ayfx_frame:
        push hl
        ld hl,(ayfx_saved_at)   ; the music's period back, unless it has written its own since
        bit 7,(hl)
        jr z,ayfx_frame_read
        ld de,(ayfx_saved)
        ld (hl),d
        dec hl
        ld (hl),e
ayfx_frame_read:
        ld hl,(ayfx_next)
        ld c,(hl)               ; C = the info byte: volume, tone off (bit 4), noise off (bit 7)
        inc hl
        bit 5,c
        jr z,ayfx_frame_noise
        ld e,(hl)
        inc hl
        ld a,(hl)               ; (the AY keeps only the low 4 bits of the high byte)
        inc hl
        or 0x80                 ; the mark: the period is the effect's
        ld d,a
        ld (ayfx_tone),de
ayfx_frame_noise:
        bit 6,c
        jr z,ayfx_frame_moved
        ld a,(hl)
        inc hl
        cp 0x20
        jr nc,ayfx_frame_end
        ld (ayfx_noise),a
ayfx_frame_moved:
        ld (ayfx_next),hl
        ld hl,(ayfx_period_at)
        bit 4,c
        jr nz,ayfx_frame_volume
        ld (ayfx_saved_at),hl
        ld d,(hl)
        dec hl
        ld e,(hl)
        ld (ayfx_saved),de
        ld de,(ayfx_tone)
        ld (hl),e
        inc hl
        ld (hl),d
ayfx_frame_volume:
        ld de,CH_AMPLITUDE - CH_PERIOD - 1
        add hl,de
        ld a,c
        and 0x0F
        ld (hl),a
        ld a,(ayfx_mask)
        ld e,a
        ld hl,(ayfx_turn_at)    ; info bits 4 and 7 turn right to the channel's bits of R7:
        ld a,c                  ; 4 times for channel A, 3 for B, 2 for C
        jp (hl)
ayfx_frame_turn_a:
        rrca
        rrca
        rrca
        rrca
        pop hl
        xor h
        and e
        xor h
        ld h,a
        bit 7,c
        ret nz
        ld a,(ayfx_noise)
        ld l,a
        ret
ayfx_frame_end:
        xor a                   ; nothing more to put back: pt3_play stops calling
        ld (ayfx_busy),a
        pop hl
        ret

; The state. Periods are named by the address of their high byte, where the mark is.
ayfx_state:
ayfx_next:      dw ayfx_stopped ; the effect's next frame
ayfx_tone:      dw 0x8000       ; tone (marked) and noise periods carried over between frames
ayfx_noise:     db 0
ayfx_busy:      db 0            ; nonzero while an effect plays or its end is still to be met
ayfx_period_at: dw pt3_channel_c + CH_PERIOD + 1        ; the effect's channel in the player's work
ayfx_turn_at:   dw ayfx_frame_turn_a + 2                ; ayfx_frame_turn_a + channel
ayfx_mask:      db 0x24         ; the channel's tone and noise bits in R7
ayfx_saved_at:  dw pt3_channel_a + CH_PERIOD + 1        ; the period the effect last changed
ayfx_saved:     dw 0            ; and the music's value of it
ayfx_state_end:
