# Writes a manual page as it is installed: the source page with its .TH line
# given the release's date and the program's version, every other line as it
# is. The source says "" and "tqsetup" there, so that "man -l" reads it
# straight from the tree.
#   cmake -DSOURCE=page.1 -DOUTPUT=out.1 -DDATE=YYYY-MM-DD -DVERSION=x.y.z
#         -P dated_page.cmake
file(READ "${SOURCE}" page)
string(REGEX REPLACE "^(\\.TH [^ \n]+ [1-9]) \"\" \"tqsetup\""
       "\\1 \"${DATE}\" \"tqsetup ${VERSION}\"" dated "${page}")
if(dated STREQUAL page)
  message(FATAL_ERROR
          "${SOURCE} does not start with .TH <NAME> <section> \"\" \"tqsetup\"")
endif()
file(WRITE "${OUTPUT}" "${dated}")
