# The comment line of a frame, read (comment.read) and written (comment.write), over the
# module's parser and float formatter.
