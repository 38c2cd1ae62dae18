# Turns the kernels' source into a C++ string at build time, so that the
# program carries it and builds it for whatever device it finds.
file(READ ${SOURCE} text)
file(WRITE ${OUTPUT} "// Made from ${NAME} by embed.cmake; edit the .cl file.\n#include \"gpu/opencl.h\"\nnamespace varnesk::gpu {\nconst char* SieveSource() {\n    return R\"VarneskCl(${text})VarneskCl\";\n}\n}  // namespace varnesk::gpu\n")
