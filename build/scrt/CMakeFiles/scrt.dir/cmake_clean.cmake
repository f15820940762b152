file(REMOVE_RECURSE
  "CMakeFiles/scrt.dir/scrt_anchor.cpp.o"
  "CMakeFiles/scrt.dir/scrt_anchor.cpp.o.d"
  "libscrt.a"
  "libscrt.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/scrt.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
