# The hardening Debian gives its own packages: fortified libc calls, a strong
# stack protector, refusal of non-literal format strings, and relocations
# resolved at start and then made read-only (-z relro -z now). Only for ELF
# builds without sanitizers: the sanitizer and fuzz builds are for finding
# faults, and the Windows linker knows no -z options. glibc fortifies only
# optimised code (it warns otherwise), hence the configurations.
option(BM_HARDENING "Fortify, stack protector and full RELRO for native builds" ON)
if(BM_HARDENING AND NOT WIN32 AND NOT BM_SANITIZE AND NOT BM_FUZZ)
  add_compile_definitions(
    "$<$<OR:$<CONFIG:Release>,$<CONFIG:RelWithDebInfo>,$<CONFIG:MinSizeRel>>:_FORTIFY_SOURCE=2>")
  add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
  add_link_options(LINKER:-z,relro LINKER:-z,now)
endif()
