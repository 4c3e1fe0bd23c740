#!/usr/bin/env python3
# A full-screen yes/no dialog in the alternate screen.
import curses
def main(screen):
    curses.curs_set(0)
    h, w = screen.getmaxyx()
    win = curses.newwin(7, 40, h // 2 - 3, w // 2 - 20)
    win.box()
    win.addstr(2, 3, "Apply the migration now")
    win.addstr(4, 10, "< Yes >      < No >")
    win.refresh()
    screen.getch()
curses.wrapper(main)
