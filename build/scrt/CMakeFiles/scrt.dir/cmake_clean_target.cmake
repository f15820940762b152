file(REMOVE_RECURSE
  "libscrt.a"
)
