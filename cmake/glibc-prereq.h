// Forced into every compilation against musl. libstdc++'s configuration headers were written for
// glibc and test its version with __GLIBC_PREREQ, which musl does not define: musl is no glibc of
// any version.
#define __GLIBC_PREREQ(major, minor) 0
