# The build's date and time as the banner shows them, in the form of the
# compilers' __DATE__ and __TIME__ ("Dec  8 2026", "14:05:37"), in UTC.
# CMake takes them from SOURCE_DATE_EPOCH when it is set, so that a release
# build is reproducible, and from the clock otherwise.
function(quarvel_build_date dateVariable timeVariable)
  string(TIMESTAMP stamp "%m;%d;%Y;%H:%M:%S" UTC)  # one reading of the clock
  list(GET stamp 0 month)
  list(GET stamp 1 day)
  list(GET stamp 2 year)
  list(GET stamp 3 time)
  # The month's English name, whatever the locale; the day padded with a space.
  set(monthNames Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  math(EXPR monthIndex "${month} - 1")
  list(GET monthNames ${monthIndex} monthName)
  string(REGEX REPLACE "^0" " " day "${day}")
  set(${dateVariable} "${monthName} ${day} ${year}" PARENT_SCOPE)
  set(${timeVariable} "${time}" PARENT_SCOPE)
endfunction()
