#include "Extensions.h"

#include "quib/String.h"

#define VELVORIA_DEFINE_GL_PROCEDURE(type, name) type velvoria_##name = nullptr;
VELVORIA_GL_PROCEDURES(VELVORIA_DEFINE_GL_PROCEDURE)
#undef VELVORIA_DEFINE_GL_PROCEDURE

void loadExtensions(ProcLookup lookup) {
    // Each pointer is stored as soon as it is fetched, so a failure leaves the
    // earlier ones usable and names only the first one missing.
#define VELVORIA_LOAD_GL_PROCEDURE(type, name)                                              \
    velvoria_##name = reinterpret_cast<type>(lookup(#name));                                \
    if (!velvoria_##name)                                                                    \
        throw Quib::Exception(Quib::String("Could not load extension procedure: ") + #name, \
                              "src\\Extensions", 10);
    VELVORIA_GL_PROCEDURES(VELVORIA_LOAD_GL_PROCEDURE)
#undef VELVORIA_LOAD_GL_PROCEDURE
}
