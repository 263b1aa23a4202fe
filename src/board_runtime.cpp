// The little of the C++ runtime that the board programs use, on malloc and free. They are linked
// without the C++ runtime library, whose allocation reports failure by throwing and so brings
// the whole exception machinery along. The allocating forms here report failure as the callers
// expect it, with a null pointer; the plain `new`, which can only throw, is left undefined on
// purpose, so that a program using it does not link.
#include <cstdlib>
#include <new>

namespace std {
// The tag object of new (std::nothrow), normally defined by the C++ runtime library.
const nothrow_t nothrow{};
}  // namespace std

namespace {

// malloc(0) may return a null pointer; new must return a distinct object even for size 0.
void* allocate(std::size_t size) noexcept {
  return malloc(size != 0 ? size : 1);
}

}  // namespace

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return allocate(size);
}
void operator delete(void* p) noexcept {
  free(p);
}
void operator delete[](void* p) noexcept {
  free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  free(p);
}
