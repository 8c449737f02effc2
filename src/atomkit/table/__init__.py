# FrameTable, the frames of a file as columns, and tables joined end to end.
