# Empty dependencies file for scrt.
# This may be replaced when dependencies are built.
