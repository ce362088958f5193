{ Script of the options form frmOption. The host's script engine runs it for the form; the
  build turns it into the parsed form that the plug-in carries. The property tree keeps the
  request configuration; lblParams carries it as the options text between the tree and the
  stored settings. }

var
  __pBot: TPanel;
  lblParams: TTntLabel;
  pan0: TPanel;
  tmpMenu: TTntPopupMenu;
  MsgSendReq: TTntMenuItem;
  FuncTypeList: TTntMenuItem;
  MsgDevAddr: TTntMenuItem;
  MsgFuncCustom: TzolMenuItem;
  MsgFunc: TTntMenuItem;
  MsgRegCustom2: TzolMenuItem;
  MsgReqTimeout: TTntMenuItem;
  MsgReqMethod: TTntMenuItem;
  MsgMOnce: TTntMenuItem;
  MsgPolling: TTntMenuItem;
  MsgPollInt: TTntMenuItem;
  MsgPollUnits: TTntMenuItem;
  MsgName: TTntMenuItem;
  TxtMillisecond: TTntMenuItem;
  TxtSecond: TTntMenuItem;
  TxtMinute: TTntMenuItem;
  TxtHour: TTntMenuItem;
  MsgReq: TTntMenuItem;
  PollUnitList: TTntMenuItem;
  MsgTime: TTntMenuItem;
  MsgAtTime: TTntMenuItem;
  MsgCron: TTntMenuItem;
  MsgCronMask: TTntMenuItem;
  MsgEvent: TTntMenuItem;
  MsgEventId: TTntMenuItem;
  MsgResponseItems: TTntMenuItem;
  MsgResponseItem: TTntMenuItem;
  propTree: TVirtualParamTreeviewEx;
  Plugin: TzolPlugin;

const
  PARAM_OPTION_VALUE_SEP = '==';
  PARAM_OPTION_LIST_SEP = '||';
  RootNodeName = 'QUERY';

procedure btnOKClick(Sender: TObject);
begin
  Hide;
  lblParams.Caption := propTree.AsText;
end;

procedure btnCancelClick(Sender: TObject);
begin
  propTree.CancelEdit;
  Hide;
end;

procedure FormCreate(Sender: TObject);
var
  FuncList: Variant;
begin
  Plugin := TzolPlugin(Owner);
  if Assigned(Sender) then
  begin
    // One line per tree item: depth as leading spaces, then identifier, caption, type with
    // modifiers, parameters and default, separated by "~".
    propTree := CreateVirtualParamTreeview(Self, pan0,
      'propTree~Requests queue' + '~RootNodeName,' + RootNodeName + ',Panel,OpenSave',
      'Request~@MsgReq~dtCategory,Editable' + LineEnding +
      ' Enabled~@MsgSendReq~dtCheckbox~~2' + LineEnding +
      ' Device~@MsgDevAddr~dtValidChars~0123456789-,;~1' + LineEnding +
      ' Timeout~@MsgReqTimeout~dtInteger~1,65535~1600' + LineEnding +
      ' RequestMethod~@MsgReqMethod~dtCategory' + LineEnding +
      '  MethodOnce~@MsgMOnce~dtCheckbox,RadioButton~~0' + LineEnding +
      '  MethodPoll~@MsgPolling~dtCheckbox,RadioButton~~2' + LineEnding +
      '   PollInterval~@MsgPollInt~dtInteger~1,655350~5000' + LineEnding +
      '   PollUnits~@MsgPollUnits~dtComboDropDownValuesList~@PollUnitList~MS' + LineEnding +
      '  MethodAtTime~@MsgAtTime~dtCheckbox,RadioButton~~0' + LineEnding +
      '   AtTime~@MsgTime~dtValidChars~0123456789:apm./;~12:00:00' + LineEnding +
      '  MethodCron~@MsgCron~dtCheckbox,RadioButton~~0' + LineEnding +
      '   CronTime~@MsgCronMask~dtValidChars~*0123456789/ ,-~0 0 12 * * *' + LineEnding +
      ' Response~@MsgResponseItems~dtCategory,Optional~F0F0F0,' + IntToHex(clBlack, 6) +
        LineEnding +
      '  Item~@MsgResponseItem~dtCategory,Editable,Repeatable~F0F0F0,' + IntToHex(clBlack, 6) +
        LineEnding +
      '   Register~@MsgFunc~dtComboDropDownValuesList~@FuncTypeList~0' + LineEnding +
      '   Custom~@MsgFuncCustom~dtInteger~0,65535~0' + LineEnding +
      '   Name~@MsgName~dtUpperCase');
    propTree.HelpContext := 1;
    InitPluginConfigForm(Self, [ifoCloseForm, ifoStdControls]);
    // The register list comes from the plug-in; without it only Custom names a register.
    if Plugin.CallEvent('GetFuncTypeList', [0], FuncList) = 0 then
      FuncTypeList.Caption := FuncList;
    MsgFuncCustom.Caption := MsgFunc.Caption + ' (' + MsgRegCustom2.Caption + ')';
    PollUnitList.Caption :=
      TxtMillisecond.Caption + PARAM_OPTION_VALUE_SEP + 'MS' + PARAM_OPTION_LIST_SEP +
      TxtSecond.Caption + PARAM_OPTION_VALUE_SEP + 'S' + PARAM_OPTION_LIST_SEP +
      TxtMinute.Caption + PARAM_OPTION_VALUE_SEP + 'M' + PARAM_OPTION_LIST_SEP +
      TxtHour.Caption + PARAM_OPTION_VALUE_SEP + 'H';
    TButton(FindComponent('btnOK')).OnClick := @btnOKClick;
    TButton(FindComponent('btnCancel')).OnClick := @btnCancelClick;
  end
  else
    LoadPluginConfigForm(Self);
  // Without a tree (the form was created only to load the settings) there is nothing to fill.
  if Assigned(propTree) then
    propTree.AsText := lblParams.Caption;
end;

procedure FormDestroy(Sender: TObject);
begin
  FreeVirtualParamTreeview(propTree);
end;

begin
end.
