# The `atomkit` command: where it starts, its arguments and signals, one module per command.
