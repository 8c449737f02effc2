# The first stage, below every other: the Frame, the words of the format, the shared cache,
# compressed forms, and files read and written (atomkit.base imports nothing else of atomkit).
