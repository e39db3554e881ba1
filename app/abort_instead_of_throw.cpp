// Where the standard library would throw, the shipped program ends instead.
//
// Our code catches nothing, so a throw could only end the process anyway, and the
// library's throwing versions bring the exception runtime, the unwinder and its tables:
// most of the executable. Only the program links this file; the tests keep the
// library's own versions. A helper not defined here that the program comes to need
// brings the library's object for it back: for the throwing ones that fails the link as a
// duplicate of those below; for anything else, the size check of tests/release tells.
#include <cstdlib>
#include <new>

void* operator new(std::size_t size)
{
    // A failed allocation ends the process, as it does everywhere in the program.
    void* block = std::malloc(size ? size : 1);
    if (!block)
        std::abort();
    return block;
}

void operator delete(void* block) noexcept
{
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept
{
    std::free(block);
}

namespace std {

// A bounds check (_GLIBCXX_ASSERTIONS) that fails. The library's own report prints the
// place with a demangled name, which would bring the demangler, the C99 formatter and the
// exception runtime back with it.
void __glibcxx_assert_fail(const char*, int, const char*, const char*) noexcept
{
    std::abort();
}

void __throw_bad_alloc()
{
    std::abort();
}

void __throw_bad_array_new_length()
{
    std::abort();
}

void __throw_length_error(const char*)
{
    std::abort();
}

void __throw_logic_error(const char*)
{
    std::abort();
}

// What a position past the end of a string costs (substr, compare with a position).
void __throw_out_of_range(const char*)
{
    std::abort();
}

void __throw_out_of_range_fmt(const char*, ...)
{
    std::abort();
}

}  // namespace std
