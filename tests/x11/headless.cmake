# Read by ctest before it runs anything: every test runs with the window system in memory, as it
# was written for, even when ctest itself runs on a display. The display tests unset the variable.
set(ENV{KIVO_HEADLESS} 1)
