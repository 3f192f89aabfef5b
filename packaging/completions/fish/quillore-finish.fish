# fish completion for quillore-finish:
#   quillore-finish --mode M [--strength S] [--sky F] [--quality Q] --out OUT BASE DARK [BRIGHT]
# Each option takes the argument right after it; the renders are files.
complete -c quillore-finish -l mode -x -a 'keep-highlights darken-sky balance' -d 'the finishing mode'
complete -c quillore-finish -l strength -x -a '1 2 3' -d 'how strongly DARK (and BRIGHT) are blended in'
complete -c quillore-finish -l sky -x -d 'darken-sky: the horizon as a fraction of the height from the top'
complete -c quillore-finish -l quality -x -d 'lossy-compression quality of the result, 0 to 1'
complete -c quillore-finish -l out -r -F -d 'the file to write'
