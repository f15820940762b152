scrt/CMakeFiles/scrt.dir/scrt_anchor.cpp.o: \
 /work/main/scrt/scrt_anchor.cpp /usr/include/stdc-predef.h
