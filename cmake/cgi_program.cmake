# add_cgi_program(<name> <source>...)
#
# Builds one of the registry's CGI programs. The web server starts one
# process per request, so outside the sanitizer and fuzz builds a program is
# linked as a static position-independent executable: no dynamic loader, no
# library search, no symbol binding before main, and address-space layout
# randomisation stays on. Every library it uses (yyjson included) is a
# static archive, so the link takes them as they are. On Windows the
# programs are linked statically as well.
function(add_cgi_program name)
  add_executable(${name} ${ARGN})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE endpoint_reply edge reg_storage sha256 platform yyjson)
  if(WIN32)
    target_link_options(${name} PRIVATE -static)
  elseif(NOT REGISTRY_SANITIZE AND NOT REGISTRY_FUZZ)
    target_link_options(${name} PRIVATE -static-pie)
  endif()
  # A process starts for every request: the portable SHA-512 keeps that
  # start lean (see digest/CMakeLists.txt); regstore hashes with the fast one.
  set_target_properties(${name} PROPERTIES DIGEST_LEAN ON)
  set_property(GLOBAL APPEND PROPERTY REGISTRY_CGI_PROGRAMS ${name})
endfunction()
