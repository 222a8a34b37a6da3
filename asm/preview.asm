; tunefuse preview: the game the tape carries when there is no game of the user's own. It lists
; the tunes and plays the one whose number is pressed, so that a musician can hear each tune
; with the player as the finished tape will have it.
;
; The player started tune 1 and left IM 2 on; the ROM's frame routine still runs after each
; frame, so keys are read as it leaves them: LAST_K, with bit 5 of FLAGS set for a new key.
; The screen is written directly in the ROM font (CHARS).
;
; Assembled at every run, in the program directory: pasmo --err asm/preview.asm preview.bin

chars           equ 23606           ; CHARS: the font address less 256
last_k          equ 23560           ; LAST_K: the last key the ROM decoded
flags           equ 23611           ; FLAGS: bit 5 is set when LAST_K holds a new key
switch_tune     equ 25514           ; the player's entry: plays tune A (1 to 9) from its start
text_attr       equ $47             ; bright white ink on black paper
mark_attr       equ $70             ; the playing tune: black ink on bright yellow paper
first_row       equ 2               ; tune n's line is row first_row + n - 1
title_columns   equ 30              ; "n " and the title's first 30 characters fill a row

        org 32000

        ld hl, 16384
        ld de, 16385
        ld bc, 6144
        ld (hl), l
        ldir                        ; pixels blank; HL is now at the first attribute
        ld (hl), text_attr
        ld bc, 767
        ldir

        ld hl, heading
        ld de, 0                    ; row 0, column 0
        ld b, heading_end - heading
        call print
        ld a, (titles)
        add a, '0'
        call print_char             ; the highest tune number ends the heading

        ld hl, titles + 1
        ld d, first_row
        ld c, '1'                   ; C = the line's tune number, as a character
tune_line:
        ld e, 0
        ld a, c
        call print_char
        inc e
        ld b, title_columns
        call print
        inc hl
        inc hl                      ; past the title's last two characters
        inc d
        inc c
        ld a, (titles)
        add a, '1'
        cp c
        jr nz, tune_line

        ld a, 1                     ; the player started tune 1
        call mark

; A held key comes back from the ROM every few frames; waiting for all keys to be let go first
; keeps a held digit from starting its tune over and over.
next_key:
        xor a
        in a, (254)
        cpl
        and 31
        jr nz, next_key
        ld hl, flags
        res 5, (hl)
wait_key:
        halt
        bit 5, (hl)
        jr z, wait_key
        ld a, (last_k)
        sub '1'                     ; 0 to N - 1 for a tune's digit
        ld hl, titles
        cp (hl)
        jr nc, next_key             ; 0, a digit above N and every other key
        inc a
        push af
        call switch_tune
        pop af
        call mark
        jr next_key

; Moves the mark to tune A: the line of the tune playing before gets the text's colour back.
mark:
        push af
        ld a, (playing)
        ld c, text_attr
        call paint
        pop af
        ld (playing), a
        ld c, mark_attr
; Colours the line of tune A with attribute C.
paint:
        add a, first_row - 1
        ld l, a
        ld h, 0
        add hl, hl
        add hl, hl
        add hl, hl
        add hl, hl
        add hl, hl
        ld de, 22528
        add hl, de                  ; HL = the row's first attribute
        ld b, 32
paint_cell:
        ld (hl), c
        inc hl
        djnz paint_cell
        ret

; Prints B characters from HL at row D, column E; HL ends after them, E after the last column.
print:
        ld a, (hl)
        call print_char
        inc hl
        djnz print
        ret

; Draws character A at row D, column E in the ROM font and moves E on; keeps BC, D and HL.
print_char:
        push hl
        push bc
        push de
        ld l, a
        ld h, 0
        add hl, hl
        add hl, hl
        add hl, hl
        ld bc, (chars)
        add hl, bc                  ; HL = the character's 8 pixel lines
        ld a, d
        and $18
        or $40
        ld b, a                     ; the screen third holding row D
        ld a, d
        and 7
        rrca
        rrca
        rrca
        or e
        ld e, a
        ld d, b                     ; DE = the cell's top pixel line
        ld b, 8
glyph_line:
        ld a, (hl)
        ld (de), a
        inc hl
        inc d
        djnz glyph_line
        pop de
        pop bc
        pop hl
        inc e
        ret

playing:
        db 1
heading:
        db "tunefuse preview: press 1 to "
heading_end:
; The tune count N (1 to 9), then each tune's title: 32 characters, padded with spaces.
titles:
        incbin "bin/titles.bin"

        end 32000
