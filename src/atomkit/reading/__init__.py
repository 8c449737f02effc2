# Reading extended XYZ: Properties layouts, the frame scan, one frame read alone, runs of frames
# read as tables, and the public read, iread, scan and read_table (reading.api).
