file(REMOVE_RECURSE
  "CMakeFiles/starter.dir/starter.cpp.o"
  "CMakeFiles/starter.dir/starter.cpp.o.d"
  "starter"
  "starter.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/starter.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
