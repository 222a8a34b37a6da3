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
; The bank may lie in a RAM bank of a 128K at $C000..$FFFF: the includer then defines, before
; this file,
;   ayfx_bank_number  that RAM bank (1..7), and bankm_sysvar, paging_kept_bits and paging_port
;                  as asm/tunefuse.asm states them;
; whenever the bank the music plays from changes, writes what ayfx_frame pages back after reading
; the effect: that RAM bank to the byte ayfx_back_bank and paging_kept_bits to ayfx_back_mask,
; or 0 and 0xFF where pt3_play runs with the game's own paging (BANKM as it is); and once, before
; the first ayfx_start, runs ayfx_learn_count (a macro, for code that runs once: with the bank
; paged in, it sets the number of effects ayfx_start allows). The effect player
; pages the bank in only to read it, and never uses the stack meanwhile (the game's stack may
; lie at $C000..$FFFF); ayfx_start turns interrupts off for its read, and pt3_play's caller must
; have them off (a frame interrupt while the bank is in would page the game's bank back under it).
;
; Entry points for the game (all change AF, BC, DE and HL; call them from the main program, not
; from an interrupt handler that may run while pt3_play does):
;   ayfx_start  A = effect number (0 = the bank's first), B = channel (0 = A, 1 = B, 2 = C; any
;               other value means C). The effect plays from the next pt3_play call on and
;               replaces the one playing, whatever that was: one effect at a time, the last one
;               started wins, so a game always hears its latest event. A number past the bank's
;               last effect changes nothing.
;   ayfx_stop   stops the effect: from the next pt3_play call the channel is the music's again.
;   Both turn interrupts off for a few instructions (a frame never sees half an effect) and put
;   them back as they were.
;
; In each frame of the effect, its channel's volume and its two mixer bits are the effect's; so
; is the channel's tone period while the frame's tone is on, and R6 while its noise is on. The
; other channels, R11 to R13 and the music's own state are left alone: the tone period goes to
; the AY through the channel's CH_PERIOD, so the music's period is kept aside and put back in
; the first frame whose tone is off, or when the effect ends, unless the music has worked out a
; new one by then (a frame whose tone is on keeps aside the music's newest). To tell the two
; apart, the effect's period carries bit 7 in its high byte, a bit the AY does not keep (R1, R3
; and R5 have four).
; Tone and noise periods carry over between frames, from 0 at the start of each effect; the end
; marker (a noise byte of 0x20 or more) hands the channel back in the frame it is met.
;
; ayfx_frame runs on every frame of an effect, so its state lies in the operands of its own
; instructions (an immediate load costs less than one from memory), and ayfx_start writes the
; effect's channel into them once: the addresses of its period and amplitude, its mixer bits and
; how far the info byte turns to reach them.

        if !defined pt3_with_ayfx
        .error pt3_with_ayfx must be defined before the PT3 player is included, or no frame plays an effect
        endif

        if defined ayfx_bank_number
; Notes for ayfx_start how many effects the bank has, from its table: (first offset + 1) / 2.
; Run once with the bank paged in. uses: AF, HL
ayfx_learn_count macro
        ld hl,(ayfx_bank + 1)
        inc hl
        srl h
        rr l
        xor a                   ; 256 effects or more: 0
        inc h
        dec h
        jr nz,$ + 3
        sub l                   ; else 256 less the count
        ld (ayfx_room),a
        endm
        endif

; enter: A = effect number, B = channel. uses: AF, BC, DE, HL
ayfx_start:
        if defined ayfx_bank_number
        ld l,a
ayfx_room equ $+1               ; 256 less the number of effects, 0 for 256 or more:
        add a,0                 ; a number past the bank's last one carries
        ret c
        else
        ld c,a
        ld hl,(ayfx_bank + 1)
        inc hl
        srl h
        rr l
        inc h
        dec h
        jr nz,ayfx_start_known  ; 256 effects or more: any number is one
        cp l
        ret nc
ayfx_start_known:
        ld l,c
        endif
        ld h,0                  ; the effect's offset counts from its entry's second byte
        add hl,hl
        ld de,ayfx_bank + 1
        add hl,de
        push hl
        call ayfx_stop          ; no frame plays an effect while its channel is set
        ld hl,0x8000
        ld (ayfx_tone),hl       ; tone 0, marked
        xor a
        ld (ayfx_noise),a
        ld hl,pt3_channel_a + CH_PERIOD
        ld de,0x0F0F            ; two RRCA more for channel A, one for B, none for C
        ld a,0x09               ; channel A's tone and noise bits in R7
        inc b                   ; B + 1 counts down to the channel, channel C stops it early
        jr ayfx_start_last
ayfx_start_next:
        push de
        ld de,PT3_CH
        add hl,de
        pop de
        ld e,d
        ld d,0
        add a,a
ayfx_start_last:
        bit 5,a                 ; channel C's noise bit: no channel after it
        jr nz,ayfx_start_set
        djnz ayfx_start_next
ayfx_start_set:
        ld (ayfx_turn),de
        ld (ayfx_mask),a
        ld (ayfx_period_at),hl
        ld (ayfx_period_set),hl
        ld de,CH_AMPLITUDE - CH_PERIOD
        add hl,de
        ld (ayfx_amplitude_at),hl
        pop hl
        if defined ayfx_bank_number
        ; The entry's word, read with the bank's RAM bank paged in and then the game's (BANKM)
        ; back: the caller runs in the game's main program. Interrupts are off only while the
        ; bank is in, and nothing in between changes the flags, so P/V still holds the state
        ; LD A,I read (see ayfx_stop for the second look); the stack is not used meanwhile.
        ld a,(bankm_sysvar)
        ld d,a
        and paging_kept_bits
        or ayfx_bank_number
        ld e,a
        ld bc,paging_port
        ld a,i
        jp pe,ayfx_start_masked
        ld a,i
ayfx_start_masked:
        di
        out (c),e
        ld e,(hl)
        inc hl
        ld a,(hl)
        out (c),d
        ld d,a
        jp po,ayfx_start_read
        ei
ayfx_start_read:
        else
        ld e,(hl)
        inc hl
        ld d,(hl)
        endif
        add hl,de
        ld (ayfx_next),hl
        ld a,h                  ; not 0: the effect lies in RAM, above 16383
        ld (ayfx_busy),a        ; (one write: the next frame plays the whole new effect)
        ret

; The effect ends now: no frame plays an effect until the next start, and the channel's period
; goes back to the music's when the effect last changed it (as the frame that meets an end
; marker does). Interrupts are off only while the period is tested and put back, so that a frame
; of the music never comes in between (an interrupt that comes then is lost, so the fewer
; T-states the better). LD A,I can read IFF2 as 0 when an interrupt is taken during it; that
; interrupt returns with EI, so a second look is right; its P/V flag is kept until the end, as
; nothing in between changes it. uses: AF, DE, HL
ayfx_stop:
        xor a
        ld (ayfx_busy),a
        ld hl,(ayfx_period_at)
        inc hl                  ; the period's high byte
        ld de,(ayfx_saved)
        ld a,i
        jp pe,ayfx_stop_masked
        ld a,i
ayfx_stop_masked:
        di
        ld a,(hl)
        rla                     ; carry: the effect's mark
        jr nc,ayfx_stop_kept
        ld (hl),d
        dec hl
        ld (hl),e
ayfx_stop_kept:
        ret po
        ei
        ret

; The state: ayfx_busy, then ayfx_frame, whose operands named below hold the rest.
ayfx_state:
ayfx_busy:      db 0            ; nonzero while an effect plays or its end is still to be met

; One frame of the effect, from pt3_play while ayfx_busy is set; in a RAM bank, with interrupts
; off. enter: L = R6, H = R7 as the music sets them. exit: L, H with the effect's part.
; uses: AF, BC, DE (E = the info byte: volume, tone off (bit 4), noise off (bit 7))
ayfx_frame:
        push hl
ayfx_next equ $+1               ; the effect's next frame
        ld hl,0
        if defined ayfx_bank_number
        ld a,(bankm_sysvar)     ; D = the paging to put back: the music's bank or the game's
ayfx_back_mask equ $+1
        and 0xFF
ayfx_back_bank equ $+1
        or 0
        ld d,a
        and paging_kept_bits
        or ayfx_bank_number
        ld bc,paging_port
        out (c),a
        endif
        ld e,(hl)
        inc hl
        bit 5,e
        jr z,ayfx_frame_noise
        ld a,(hl)
        inc hl
        ld (ayfx_tone),a
        ld a,(hl)               ; (the AY keeps only the low 4 bits of the high byte)
        inc hl
        or 0x80                 ; the mark: the period is the effect's
        ld (ayfx_tone + 1),a
ayfx_frame_noise:
        bit 6,e
        jr z,ayfx_frame_moved
        ld a,(hl)
        inc hl
        cp 0x20
        jr nc,ayfx_frame_end
        ld (ayfx_noise),a
ayfx_frame_moved:
        ld (ayfx_next),hl
        if defined ayfx_bank_number
        out (c),d
        endif
ayfx_period_at equ $+1          ; the effect's channel's period; before the first effect the
        ld hl,(ayfx_busy - 1)   ; word whose high byte is ayfx_busy, so ayfx_stop puts nothing back
        bit 4,e
        jr nz,ayfx_frame_off
        bit 7,h                 ; marked: the effect's own period went in last, so the saved
        jr nz,ayfx_frame_tone   ; one is still the music's; else the music has a new one
        ld (ayfx_saved),hl
ayfx_frame_tone:
ayfx_tone equ $+1               ; the tone period carried over, marked
        ld hl,0x8000
ayfx_frame_period:
ayfx_period_set equ $+1
        ld (pt3_channel_c + CH_PERIOD),hl
ayfx_frame_volume:
        ld a,e
        and 0x0F
ayfx_amplitude_at equ $+1
        ld (pt3_channel_c + CH_AMPLITUDE),a
        ld a,e                  ; info bits 4 and 7 turn right to the channel's bits of R7:
        rrca                    ; 4 times for channel A, 3 for B, 2 for C
        rrca
ayfx_turn:
        nop                     ; RRCA for channels A and B
        nop                     ; RRCA for channel A
        pop hl
        xor h
ayfx_mask equ $+1               ; the channel's tone and noise bits in R7
        and 0x24
        xor h
        ld h,a
        bit 7,e
        ret nz
ayfx_noise equ $+1              ; the noise period carried over
        ld l,0
        ret
ayfx_frame_off:                 ; tone off: the music's period back, if the effect's is there
        bit 7,h
        jr z,ayfx_frame_volume
ayfx_saved equ $+1              ; the music's period, as the effect found it
        ld hl,0
        jr ayfx_frame_period
ayfx_frame_end:
        if defined ayfx_bank_number
        out (c),d
        endif
        call ayfx_stop          ; the channel is the music's again; pt3_play stops calling
        pop hl
        ret
ayfx_state_end:
