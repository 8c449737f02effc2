# FrameIndex: random access to the frames of a plain file, and its saved form.
