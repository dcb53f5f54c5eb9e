"""The `quorvane` command's parts, for programs as much as for the terminal: the rings on
this machine and their rates (`rings`), a frame as a picture (`image`, `frames`), recording
and replaying (`recording`) and the live view in the browser (`view`).

    quorvane ls                                   # the rings here, their geometry and rate
    quorvane show camera0 -o now.png              # a typed ring, as its producer declared it
    quorvane show thermal0 --shape 48x64 -o now.png   # an untyped one, as float32 48 x 64
    quorvane record camera0 take.npy --seconds 10 && quorvane replay take.npy camera0

Built on quorvane_reader: attaching, frame types, waiting, missed frames, restarts, the
end of a stream and the intact check are the reader's, never worked out again here. Needs
the `tools` extra (Pillow, rich).
"""
