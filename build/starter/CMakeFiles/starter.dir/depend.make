# Empty dependencies file for starter.
# This may be replaced when dependencies are built.
