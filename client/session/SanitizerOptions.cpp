// Built only with -DTVX_SANITIZE=ON, into every program that hosts the
// browser engine. The engine frees some of its objects through a base class
// with a sized delete of the base's size, which AddressSanitizer reports as a
// new/delete type mismatch inside the engine on every page teardown. The check
// stays on in every other program of the suite; everything else stays on here.
extern "C" const char *__asan_default_options()
{
    return "new_delete_type_mismatch=0";
}
