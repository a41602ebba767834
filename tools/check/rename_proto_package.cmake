# Copies the anti-spam schema files from IN_DIR to OUT_DIR with the package
# ql renamed to qlcheck (see quillon-check in CMakeLists.txt).
foreach(name quillon_error.proto quillon_ase_api.proto)
  file(READ ${IN_DIR}/${name} text)
  string(REPLACE "package ql;" "package qlcheck;" text "${text}")
  file(WRITE ${OUT_DIR}/${name} "${text}")
endforeach()
