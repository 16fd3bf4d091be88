# Symlinks every Python file of the source package into the developer build's package folder.
file(GLOB_RECURSE py_files RELATIVE ${SRC} ${SRC}/*.py ${SRC}/*.pyi)
foreach(f ${py_files})
  get_filename_component(dir ${DST}/${f} DIRECTORY)
  file(MAKE_DIRECTORY ${dir})
  file(CREATE_LINK ${SRC}/${f} ${DST}/${f} SYMBOLIC)
endforeach()
