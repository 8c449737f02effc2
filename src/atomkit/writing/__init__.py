# Writing extended XYZ: Properties layouts of arrays, frames to text, tables a batch at a time,
# and the public write (writing.api).
