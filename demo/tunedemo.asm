; tunedemo.asm - the kit's demo game: started at 32000, it draws a title banner over the top
; third of the screen and then loops, counting frames and cycling the border colour.
;
; It draws only on character rows 0 to 7 (the top third), so a loading screen stays visible
; below the banner. Fixed addresses that a debugger or test may look at:
;     32003  word: frames counted by the main loop
;     32005  byte: $5A once the banner is drawn
;     32006  the main loop

chars_sysvar    equ 23606
screen_pixels   equ $4000
screen_attrs    equ $5800
banner_marker   equ $5a

        org 32000

        jp main
frame_count:    dw 0                ; 32003
drawn_marker:   db 0                ; 32005

main_loop:                          ; 32006
        ei
        halt
        ld hl, (frame_count)
        inc hl
        ld (frame_count), hl
        ld a, l
        rrca
        rrca
        rrca
        and 7
        out ($fe), a
        jr main_loop

main:
        call draw_bars
        call draw_title
        ld a, banner_marker
        ld (drawn_marker), a
        jr main_loop

; Top third: a checker of 4-pixel blocks that flips with every pixel line and every column,
; and each column of the attributes takes the next colour of the spectrum.
draw_bars:
        ld hl, screen_pixels
        ld bc, 2048
draw_bars_pixel:
        ld a, h
        and 1                       ; alternate with the pixel line within a cell...
        xor l
        and 1                       ; ...and with the column
        ld a, $f0
        jr z, draw_bars_store
        ld a, $0f
draw_bars_store:
        ld (hl), a
        inc hl
        dec bc
        ld a, b
        or c
        jr nz, draw_bars_pixel
        ld hl, screen_attrs
        ld b, 0                     ; 256 attribute cells: rows 0..7
draw_bars_attr:
        ld a, l
        and 7
        rlca
        rlca
        rlca                        ; paper = column mod 8
        or 7                        ; white ink
        ld (hl), a
        inc hl
        djnz draw_bars_attr
        ret

; Row 3: the title in the ROM font on a black band with bright yellow ink.
draw_title:
        ld hl, screen_attrs + 3 * 32
        ld b, 32
draw_title_attr:
        ld (hl), $46
        inc hl
        djnz draw_title_attr
        ld hl, title
        ld de, screen_pixels + 3 * 32 + 9
draw_title_char:
        ld a, (hl)
        or a
        ret z
        push hl
        push de
        ld l, a
        ld h, 0
        add hl, hl
        add hl, hl
        add hl, hl
        ld bc, (chars_sysvar)
        add hl, bc
        ld b, 8
draw_title_line:
        ld a, (hl)
        ld (de), a
        inc hl
        inc d
        djnz draw_title_line
        pop de
        pop hl
        inc hl
        inc de
        jr draw_title_char

title:  db "TUNEFUSE DEMO", 0

        end
