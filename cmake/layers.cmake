# The portable layers may include only the layers below them and the platform interfaces, and no OS or
# media library header: app -> engine -> library -> core -> base, with platform/linux/ and app/ alone
# seeing X11, PulseAudio, GTK, WebKit and FFmpeg. Checked at configure time so that a wrong include fails
# the build before anything compiles.
set(quill_os_headers "X11/|xcb/|pulse/|gtk/|gdk/|glib|gio/|webkit|libsoup|libav|libsw|va/|cairo|pango|turbojpeg|libyuv|jpeglib|libayatana|dbus/")

# quill_check_layer(<folder> <allowed include prefixes...>): every "quoted" include of the folder's own
# sources must start with one of the prefixes; "platform/" admits only the interface headers.
function(quill_check_layer folder)
  file(GLOB sources ${PROJECT_SOURCE_DIR}/${folder}/*.h ${PROJECT_SOURCE_DIR}/${folder}/*.cpp)
  set(allowed ${ARGN})
  foreach(source IN LISTS sources)
    file(STRINGS ${source} includes REGEX "^[ \t]*#[ \t]*include")
    foreach(line IN LISTS includes)
      if(line MATCHES "<(${quill_os_headers})")
        message(FATAL_ERROR "${source}: '${line}': only platform/linux/ and app/ may include OS headers")
      endif()
      if(NOT line MATCHES "\"([^\"]+)\"")
        continue()
      endif()
      set(target_path ${CMAKE_MATCH_1})
      set(ok FALSE)
      foreach(prefix IN LISTS allowed)
        if(prefix STREQUAL "platform/")
          if(target_path MATCHES "^platform/[^/]+\\.h$")
            set(ok TRUE)
          endif()
        elseif(target_path MATCHES "^${prefix}")
          set(ok TRUE)
        endif()
      endforeach()
      if(NOT ok)
        message(FATAL_ERROR "${source}: '${line}': ${folder}/ may include only ${allowed}")
      endif()
    endforeach()
  endforeach()
endfunction()

quill_check_layer(base base/)
quill_check_layer(core base/ core/)
quill_check_layer(library base/ library/ platform/)
quill_check_layer(engine base/ core/ library/ engine/ platform/)
quill_check_layer(platform base/ platform/)
