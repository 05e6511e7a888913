# freeglut linked from Debian's static library (freeglut3-dev ships libglut.a): the Linux download
# then needs only the GL and X client libraries of the user's system. The X extensions are those
# libglut.a calls: XInput2 for its input events, XF86VidMode for its game mode.
find_library(VELMOR_GLUT_STATIC_LIBRARY NAMES libglut.a REQUIRED)
find_package(X11 REQUIRED)
if(NOT X11_Xi_FOUND OR NOT X11_Xxf86vm_FOUND)
  message(FATAL_ERROR "static freeglut needs libXi and libXxf86vm (libxi-dev, libxxf86vm-dev)")
endif()
add_library(velmor_glut_static STATIC IMPORTED)
set_target_properties(velmor_glut_static PROPERTIES
  IMPORTED_LOCATION ${VELMOR_GLUT_STATIC_LIBRARY}
  INTERFACE_INCLUDE_DIRECTORIES "${GLUT_INCLUDE_DIR}"
  INTERFACE_COMPILE_DEFINITIONS FREEGLUT_STATIC
  INTERFACE_LINK_LIBRARIES "OpenGL::GL;OpenGL::GLX;X11::X11;X11::Xi;X11::Xxf86vm;m")
set(VELMOR_GLUT velmor_glut_static)
# The C++ runtime too: the download does not depend on the libstdc++ of the user's release.
add_link_options(-static-libstdc++ -static-libgcc)
