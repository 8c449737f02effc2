# The comment line of a frame written (comment.write), with floats formatted by the module.
