# fish completion for quillore-cli. The tool names and a tool's options come from the
# running app, through the same `quillore-cli tools` and `quillore-cli help TOOL` that a
# user runs. Their output is pretty-printed JSON with sorted keys, indented by two spaces
# per level, so it is read here line by line. QL_NO_LAUNCH=1 keeps Tab from ever starting
# the app; when the app cannot be reached nothing is offered and nothing is printed. One
# Tab runs the program at most once, so nothing needs to be kept between two.

# The program's output, one line per item, without starting the app; fails when the
# program does.
function __quillore_cli_run
    set -l program (string replace -r '^~/' ~/ -- (commandline -opc)[1])
    QL_NO_LAUNCH=1 command $program $argv 2>/dev/null
end

# A JSON text's characters: the text between the quotes with \" and \\ read.
function __quillore_cli_text
    string replace -r '^"(.*)"$' '$1' -- $argv[1] | string replace -a '\\"' '"' | string replace -a '\\\\' '\\'
end

# "NAME<tab>SUMMARY" for each tool of the `tools` output (tools listed with a "-" in
# their name cannot be called: left out). Entries have sorted keys: "name", "summary".
function __quillore_cli_tools
    set -l name
    for line in $argv
        if set -l m (string match -rg '^      "name": "([^-"\\\\]*)",?$' -- $line)
            set name $m
        else if set -l m (string match -rg '^      "summary": (".*"),?$' -- $line); and test -n "$name"
            printf '%s\t%s\n' $name (__quillore_cli_text $m)
            set name
        end
    end
end

# "OPTION TYPE KEY<tab>DESCRIPTION" for each entry of the tool's "options" in the `help`
# output, with "_" for the space of "list of strings". Keys that only come through
# --json have no "option": left out.
function __quillore_cli_options
    set -l in 0
    set -l description
    set -l key
    set -l option
    for line in $argv
        switch $line
            case '  "options": ['
                set in 1
            case '  ],' '  ]'
                set in 0
            case '    {'
                set description
                set key
                set option
            case '*'
                test $in = 1; or continue
                set -l m (string match -rg '^      "(description|key|option|type)": (".*"),?$' -- $line); or continue
                set -l value (__quillore_cli_text $m[2])
                switch $m[1]
                    case description
                        set description $value
                    case key
                        set key $value
                    case option
                        set option $value
                    case type
                        test -n "$option"; and printf '%s %s %s\t%s\n' $option (string replace -a ' ' _ -- $value) $key "$description"
                end
        end
    end
end

# The "enum" values of the property $argv[1] in the tool's "inputSchema" of the `help`
# output (the rest of argv), texts without their quotes.
function __quillore_cli_enum
    set -l wanted $argv[1]
    set -l in 0
    set -l property
    for line in $argv[2..-1]
        switch $line
            case '  "inputSchema": {'
                set in 1
            case '  },' '  }'
                set in 0
            case '    "properties": {'
                test $in = 1; and set in 2
            case '    },' '    }'
                test $in = 2; and set in 1
            case '      "*": {'
                test $in = 2; and set property (__quillore_cli_text (string sub -s 7 -e -3 -- $line))
            case '        "enum": ['
                test $in = 2; and test "$property" = "$wanted"; and set in 3
            case '        ],' '        ]'
                test $in = 3; and set in 2
            case '*'
                test $in = 3; or continue
                set -l value (string match -rg '^          ([^] {}[].*?),?$' -- $line); or continue
                if string match -q '"*"' -- $value
                    __quillore_cli_text $value
                else
                    echo $value
                end
        end
    end
end

function __quillore_cli_complete
    set -l line (commandline -opc)
    set -l cur (commandline -ct)
    # The words before the first option and the option arguments after them; --json and
    # --out are recognised anywhere and take the next argument, whatever it is.
    set -l words
    set -l arguments
    set -l i 2
    while test $i -le (count $line)
        set -l word $line[$i]
        switch $word
            case --json --out
                if test $i -eq (count $line)
                    test $word = --json; and echo -
                    if test $word = --out
                        __fish_complete_directories $cur
                    else
                        __fish_complete_path $cur
                    end
                    return
                end
                set i (math $i + 1)
            case '--json=*' '--out=*'
            case '*'
                if string match -q -- '--*' $word; or test (count $arguments) -gt 0
                    set -a arguments $word
                else
                    set -a words $word
                end
        end
        set i (math $i + 1)
    end
    switch $cur
        case '--json=*'
            echo -- --json=-
            printf '%s\n' --json=(__fish_complete_path (string replace -- --json= '' $cur))
            return
        case '--out=*'
            printf '%s\n' --out=(__fish_complete_directories (string replace -- --out= '' $cur))
            return
    end

    # Which tool's options are wanted, if any.
    set -l tool
    if test (count $arguments) -eq 0; and not string match -q -- '--*' $cur
        set -l listing
        switch (count $words):"$words[1]"
            case '0:'
                if string match -q -- '-*' $cur
                    printf '%s\n' --help --version
                    return
                end
                set listing (__quillore_cli_run tools); or return
                printf '%s\t%s\n' tools 'list the tools' help "one tool's options and input schema" \
                    call 'call a tool with its input as one JSON object' mcp 'serve MCP on standard input and output'
            case 1:help 1:call
                set listing (__quillore_cli_run tools); or return
            case 1:tools 1:mcp 1:version 1:--version 1:-h 1:--help
                return
            case '1:*'
                set tool $words[1]
            case 2:call
                set tool $words[2]
            case '*'
                return
        end
        if test -z "$tool"
            # Tool names as the README writes them, with "-", unless "_" has been typed. A
            # tool named like a command is only reached through call.
            for entry in (__quillore_cli_tools $listing)
                if test (count $words) -eq 0
                    string match -qr '^(tools|help|call|mcp|version)\t' -- $entry; and continue
                end
                if string match -q -- '*_*' $cur
                    echo $entry
                else
                    string replace -ar '_(?=[^\t]*\t)' - -- $entry
                end
            end
            return
        end
    else
        switch "$words[1]"
            case call
                set tool $words[2]
            case tools help mcp version --version -h --help ''
            case '*'
                set tool $words[1]
        end
    end
    test -n "$tool"; or return

    set -l help (__quillore_cli_run help $tool); or return
    set -l names
    set -l types
    set -l keys
    set -l descriptions
    for entry in (__quillore_cli_options $help)
        set -l fields (string split ' ' -m 2 -- (string split \t -m 1 -- $entry)[1])
        set -a names $fields[1]
        set -a types $fields[2]
        set -a keys $fields[3]
        set -a descriptions (string split \t -m 1 -- $entry)[2]
    end

    # Is the current word an option's value? A flag takes "true" or "false" after it.
    set -l valueOf
    set -l flag
    set i 1
    while test $i -le (count $arguments)
        set flag
        set -l at (__quillore_cli_find $arguments[$i])
        if test -n "$at"; and not string match -q -- '*=*' $arguments[$i]
            if test $types[$at] = boolean
                if test $i -lt (count $arguments); and contains -- $arguments[(math $i + 1)] true false
                    set i (math $i + 1)
                else
                    set flag 1
                end
            else if test $i -lt (count $arguments)
                set i (math $i + 1)
            else
                set valueOf $arguments[$i]
            end
        end
        set i (math $i + 1)
    end
    set -l prefix ''
    if test -z "$valueOf"; and string match -q -- '--*=*' $cur
        set valueOf (string split = -m 1 -- $cur)[1]
        set prefix $valueOf=
    end
    if test -n "$valueOf"
        set -l at (__quillore_cli_find $valueOf); or return
        switch $types[$at]
            case choice
                printf '%s\n' "$prefix"(__quillore_cli_enum $keys[$at] $help)
            case boolean
                printf '%s\n' "$prefix"{true,false}
        end
        return
    end

    for i in (seq (count $names))
        printf '%s\t%s\n' $names[$i] $descriptions[$i]
        test $types[$i] = boolean; and printf '%s\t%s\n' --no-(string sub -s 3 -- $names[$i]) $descriptions[$i]
    end
    printf '%s\t%s\n' --json "the tool's whole input as a JSON object; - reads it from standard input" \
        --out 'where images are written'
    test -n "$flag"; and printf '%s\n' true false
end

# The place in names (and keys) of the tool option $argv[1], written either way
# (--photo-id or --photoId); nothing for an option the tool lacks. Reads the caller's
# names and keys.
function __quillore_cli_find --no-scope-shadowing
    contains -i -- $argv[1] $names; or contains -i -- (string replace -r '^--' '' -- $argv[1]) $keys
end

complete -c quillore-cli -f -a '(__quillore_cli_complete)'
