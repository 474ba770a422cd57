# The banner's build date and time from SOURCE_DATE_EPOCH, in __DATE__'s and
# __TIME__'s form. Run with cmake -P.
include(${CMAKE_CURRENT_LIST_DIR}/../cmake/builddate.cmake)

function(expect epoch expectedDate expectedTime)
  set(ENV{SOURCE_DATE_EPOCH} ${epoch})
  quarvel_build_date(date time)
  if(NOT date STREQUAL expectedDate OR NOT time STREQUAL expectedTime)
    message(SEND_ERROR "SOURCE_DATE_EPOCH=${epoch}: \"${date}\" \"${time}\", expected \"${expectedDate}\" \"${expectedTime}\"")
  endif()
endfunction()

expect(0 "Jan  1 1970" "00:00:00")
expect(951825599 "Feb 29 2000" "11:59:59")
expect(1796688000 "Dec  8 2026" "00:00:00")
expect(1790000000 "Sep 21 2026" "14:13:20")
expect(4102444799 "Dec 31 2099" "23:59:59")
